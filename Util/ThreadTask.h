#pragma once

// A worker thread that runs a functor each time it is signalled. Signals that arrive while the
// functor runs fold into one more run, so no signal is lost and none queues up: each burst of
// signals leads to at least one run that starts after the last of them, and there are never more
// runs than signals. signal() only updates the state word and, when the worker is idle, signals a
// Mach semaphore, so real-time threads may call it.

#include <CountingSemaphore.h>

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

namespace vork {

template <typename Functor = std::function<void()>>
class ThreadTask
{
public:
    explicit ThreadTask(Functor functor) : fFunctor(std::move(functor)) {}

    ThreadTask(const ThreadTask&) = delete;
    ThreadTask& operator=(const ThreadTask&) = delete;

    ~ThreadTask() { stop(); }

    // Starts the worker; signals that arrived before are dropped. Does nothing while it runs.
    void start()
    {
        if (fThread) {
            return;
        }
        fState.store(0);
        fThread = std::make_unique<std::thread>([this] { work(); });
    }

    void signal()
    {
        uint32_t state = fState.load();
        do {
            if (state == kStopRequested || (state & kPendingMask) == kPendingMask) {
                // Stopping, or so many runs pending that this one is already among them.
                return;
            }
        } while (!fState.compare_exchange_weak(state, state + 1));
        // Only an idle worker waits on the semaphore; with runs pending it reads the state again
        // before it waits.
        if (state == 0) {
            fIdle.release();
        }
    }

    // Ends the worker after its current run and joins it; pending runs are dropped. Must not be
    // called on the worker itself.
    void stop()
    {
        if (!fThread) {
            return;
        }
        fState.store(kStopRequested);
        fIdle.release();
        fThread->join();
        fThread.reset();
        fState.store(0);
        fWorker.store(pthread_t{});
    }

    // The worker's thread while it runs, else a null thread.
    pthread_t workerThread() const { return fWorker.load(); }
    bool onWorkerThread() const { return pthread_equal(fWorker.load(), pthread_self()); }

private:
    static constexpr uint32_t kPendingMask = 0x00FFFFFF;
    static constexpr uint32_t kStopRequested = 0xFEFFFFFF;
    // A few microseconds: work that arrives in quick succession keeps the worker awake.
    static constexpr int kSpinsBeforeWaiting = 4000;

    void work()
    {
        fWorker.store(pthread_self());
        for (;;) {
            uint32_t state = fState.load();
            if (state == kStopRequested) {
                return;
            }
            if (state == 0) {
                // A signal that comes in while the worker spins costs no wake-up. Its permit, and
                // those of signals already served, wake the worker once more to find nothing.
                if (!signalledWhileSpinning()) {
                    fIdle.acquire();
                }
                continue;
            }
            while (state != 0) {
                run();
                if (fState.compare_exchange_strong(state, 0)) {
                    break;
                }
                if (state == kStopRequested) {
                    return;
                }
            }
        }
    }

    bool signalledWhileSpinning() const
    {
        for (int spin = 0; spin < kSpinsBeforeWaiting; ++spin) {
            if (fState.load(std::memory_order_relaxed) != 0) {
                return true;
            }
        }
        return false;
    }

    // The functor's failures stay on the worker: the run counts as done.
    void run() noexcept
    {
        try {
            fFunctor();
        } catch (...) {
        }
    }

    std::atomic<uint32_t> fState{0};
    counting_semaphore<1> fIdle;
    std::unique_ptr<std::thread> fThread;
    std::atomic<pthread_t> fWorker{};
    Functor fFunctor;
};

} // namespace vork
