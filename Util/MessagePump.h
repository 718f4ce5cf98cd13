#pragma once

// A queue of messages served by its own worker thread: producers post, and each time the worker is
// signalled it drains the queue completely, hands every message to the executor and then releases
// every writer that waited for room. A new writer does not overtake writers that wait. The posting path takes
// no lock. Destroying the pump stops and joins the worker first (a message being handled finishes), then
// frees the rest.

#include <CountingSemaphore.h>
#include <LocklessQueue.h>
#include <ThreadTask.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

namespace vork {

template <typename Msg, std::size_t N>
class MessagePump
{
public:
    // The worker does not run until start().
    explicit MessagePump(std::function<void(const Msg&)> executor)
        : fWorker([this] { threadCallback(); }), fExecutor(std::move(executor)),
          fQueue(std::make_unique<Queue>())
    {}

    MessagePump(const MessagePump&) = delete;
    MessagePump& operator=(const MessagePump&) = delete;

    ~MessagePump() { fWorker.stop(); }

    void start() { fWorker.start(); }
    // Messages still queued stay queued until the next start or the pump's end.
    void stop() { fWorker.stop(); }

    // Queues the message, waiting while the queue is full. A new writer does not overtake writers
    // that already wait. The worker itself never waits for itself: it drains its queue first.
    void post(const Msg& message)
    {
        if (blockedWriters() > 0) {
            makeRoom();
        }
        for (;;) {
            typename Queue::WriteTransaction transaction(*fQueue);
            if (!transaction.reserved()) {
                makeRoom();
                continue;
            }
            transaction.emplace(std::in_place_index<kMessage>, message);
            while (!transaction.commit()) {
                makeRoom();
            }
            fWorker.signal();
            return;
        }
    }

    // Returns once the message has run; an exception from it is rethrown here. On the worker the
    // message runs at once, without queueing.
    void postSync(const Msg& message)
    {
        if (fWorker.onWorkerThread()) {
            fExecutor(message);
            return;
        }
        Completion completion;
        if (blockedWriters() > 0) {
            waitAsBlockedWriter();
        }
        while (!tryPostInternal(SynchronousMessage{message, &completion})) {
            waitAsBlockedWriter();
        }
        std::unique_lock lock(fMutex);
        fCompletions.wait(lock, [&] { return completion.fDone; });
        if (completion.fError) {
            std::rethrow_exception(completion.fError);
        }
    }

    // Writers waiting for room.
    int64_t blockedWriters() const { return fBlockedWriters.load(); }

private:
    struct Completion
    {
        bool fDone = false;
        std::exception_ptr fError;
    };

    struct SynchronousMessage
    {
        Msg fMessage;
        Completion* fCompletion;
    };

    enum : std::size_t
    {
        kMessage,
        kSynchronous
    };
    using Element = std::variant<Msg, SynchronousMessage>;
    using Queue = LocklessQueue<Element, N>;

    // Some twenty microseconds: a blocked thread's wake-up and a queueful of posts.
    static constexpr int kSpinsForReleasedWriters = 40000;

    bool tryPostInternal(const SynchronousMessage& message)
    {
        typename Queue::WriteTransaction transaction(*fQueue);
        if (!transaction.reserved() || !transaction.emplace(std::in_place_index<kSynchronous>, message) ||
            !transaction.commit()) {
            return false;
        }
        fWorker.signal();
        return true;
    }

    void makeRoom()
    {
        if (fWorker.onWorkerThread()) {
            threadCallback();
        } else {
            waitAsBlockedWriter();
        }
    }

    // Counted before the worker is signalled, so that the run this signal causes releases it. The
    // run that releases a writer also stops counting it, so that a released writer is not taken
    // for a waiting one.
    void waitAsBlockedWriter()
    {
        fBlockedWriters.fetch_add(1);
        fWorker.signal();
        fWriterSemaphore.acquire();
    }

    void threadCallback()
    {
        for (;;) {
            std::optional<Element> element = typename Queue::ReadTransaction(*fQueue).readAndCommit();
            if (!element) {
                break;
            }
            dispatch(*element);
        }
        const int64_t released = fBlockedWriters.exchange(0);
        for (int64_t blocked = released; blocked > 0; --blocked) {
            fWriterSemaphore.release();
        }
        if (released > 0) {
            awaitReleasedWriters();
        }
    }

    // Released writers post again as soon as they wake. While producers outpace the worker they
    // soon fill the queue and wait again: staying awake until then saves the worker a wake-up per
    // queueful, and it drains the queue in one run. Their signals run it again at once.
    void awaitReleasedWriters() const
    {
        for (int spin = 0; spin < kSpinsForReleasedWriters && blockedWriters() == 0; ++spin) {
        }
    }

    void dispatch(const Element& element)
    {
        std::exception_ptr error;
        try {
            if (element.index() == kMessage) {
                fExecutor(std::get<kMessage>(element));
            } else {
                fExecutor(std::get<kSynchronous>(element).fMessage);
            }
        } catch (...) {
            // A plain message's failure stays on the worker; a synchronous poster receives it.
            error = std::current_exception();
        }
        if (element.index() == kSynchronous) {
            Completion& completion = *std::get<kSynchronous>(element).fCompletion;
            std::lock_guard lock(fMutex);
            completion.fError = std::move(error);
            completion.fDone = true;
            fCompletions.notify_all();
        }
    }

    ThreadTask<> fWorker;
    std::function<void(const Msg&)> fExecutor;
    std::unique_ptr<Queue> fQueue;
    counting_semaphore<2147483646> fWriterSemaphore;
    std::atomic<int64_t> fBlockedWriters{0};
    std::condition_variable fCompletions;
    std::mutex fMutex;
};

} // namespace vork
