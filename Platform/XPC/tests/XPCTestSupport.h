#pragma once

// Helpers for the XPC suites: a log of a connection's events and an in-process server.

#include <dispatch/dispatch.h>
#include <xpc/xpc.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace XPCTestSupport {

inline xpc_object_t numberedMessage(uint64_t sequence)
{
    xpc_object_t message = xpc_dictionary_create(nullptr, nullptr, 0);
    xpc_dictionary_set_uint64(message, "seq", sequence);
    return message;
}

inline void sendNumbered(xpc_connection_t connection, uint64_t sequence)
{
    xpc_object_t message = numberedMessage(sequence);
    xpc_connection_send_message(connection, message);
    xpc_release(message);
}

// "message N", "peer", or "error: <description>".
inline std::string describe(xpc_object_t event)
{
    xpc_type_t type = xpc_get_type(event);
    if (type == XPC_TYPE_DICTIONARY) {
        return "message " + std::to_string(xpc_dictionary_get_uint64(event, "seq"));
    }
    if (type == XPC_TYPE_CONNECTION) {
        return "peer";
    }
    if (type == XPC_TYPE_ERROR) {
        return std::string("error: ") + xpc_dictionary_get_string(event, XPC_ERROR_KEY_DESCRIPTION);
    }
    return "unexpected";
}

const std::string kInterrupted = "error: Connection interrupted";
const std::string kInvalid = "error: Connection invalid";

// The events of one connection as its handler saw them, with the queue each ran on and whether two
// ever overlapped.
class EventLog
{
public:
    void record(xpc_object_t event)
    {
        bool overlapped = fActive.fetch_add(1) != 0;
        std::string entry = describe(event);
        std::lock_guard lock(fLock);
        fOverlapped = fOverlapped || overlapped;
        fEntries.push_back(entry);
        fQueueLabels.push_back(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL));
        fActive.fetch_sub(1);
        fChanged.notify_all();
    }

    std::vector<std::string> entries()
    {
        std::lock_guard lock(fLock);
        return fEntries;
    }

    std::vector<std::string> queueLabels()
    {
        std::lock_guard lock(fLock);
        return fQueueLabels;
    }

    bool overlapped()
    {
        std::lock_guard lock(fLock);
        return fOverlapped;
    }

    // Blocks until `entry` has been recorded; the test's time limit guards against a hang.
    void waitFor(const std::string& entry)
    {
        std::unique_lock lock(fLock);
        fChanged.wait(lock,
                      [&] { return std::find(fEntries.begin(), fEntries.end(), entry) != fEntries.end(); });
    }

    void waitForCount(size_t count)
    {
        std::unique_lock lock(fLock);
        fChanged.wait(lock, [&] { return fEntries.size() >= count; });
    }

private:
    std::atomic<int> fActive{0};
    std::mutex fLock;
    std::condition_variable fChanged;
    std::vector<std::string> fEntries;
    std::vector<std::string> fQueueLabels;
    bool fOverlapped = false;
};

// A client connection whose events go to a log.
class Client
{
public:
    explicit Client(const char* name, dispatch_queue_t queue = nullptr)
        : fConnection(xpc_connection_create_mach_service(name, queue, 0))
    {
        xpc_connection_set_event_handler(fConnection,
                                         [log = fLog](xpc_object_t event) { log->record(event); });
        xpc_connection_resume(fConnection);
    }

    ~Client()
    {
        xpc_connection_cancel(fConnection);
        fLog->waitFor(kInvalid);
        xpc_release(fConnection);
    }

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    xpc_connection_t fConnection;
    std::shared_ptr<EventLog> fLog = std::make_shared<EventLog>();
};

// A listener that accepts every peer and logs each peer's events. It may cancel a peer after each
// message or echo the message back.
class Server
{
public:
    enum class Answer
    {
        None,
        CancelPeer,
        Echo
    };

    explicit Server(const char* name, Answer answer = Answer::None, bool resumesPeers = true)
        : fListener(xpc_connection_create_mach_service(name, nullptr, XPC_CONNECTION_MACH_SERVICE_LISTENER)),
          fAnswer(answer), fResumesPeers(resumesPeers)
    {
        // Accepted before logged, so a test that saw the peer in the log finds its log too.
        xpc_connection_set_event_handler(fListener, [this](xpc_object_t event) {
            if (xpc_get_type(event) == XPC_TYPE_CONNECTION) {
                accept(static_cast<xpc_connection_t>(event));
            }
            fListenerLog.record(event);
        });
        xpc_connection_resume(fListener);
    }

    // Cancels the listener and every peer, and waits for their last events.
    ~Server()
    {
        xpc_connection_cancel(fListener);
        fListenerLog.waitFor(kInvalid);
        std::vector<xpc_connection_t> peers;
        {
            std::lock_guard lock(fLock);
            peers = fPeers;
        }
        for (size_t index = 0; index < peers.size(); ++index) {
            xpc_connection_resume(peers[index]);
            xpc_connection_cancel(peers[index]);
            peerLog(index).waitFor(kInvalid);
            xpc_release(peers[index]);
        }
        xpc_release(fListener);
    }

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    size_t peerCount()
    {
        std::lock_guard lock(fLock);
        return fPeers.size();
    }

    xpc_connection_t peer(size_t index)
    {
        std::lock_guard lock(fLock);
        return fPeers.at(index);
    }

    EventLog& peerLog(size_t index)
    {
        std::lock_guard lock(fLock);
        return *fPeerLogs.at(index);
    }

    void waitForPeers(size_t count) { fListenerLog.waitForCount(count); }

    EventLog fListenerLog;

private:
    void accept(xpc_connection_t peer)
    {
        EventLog* log;
        {
            std::lock_guard lock(fLock);
            fPeers.push_back(static_cast<xpc_connection_t>(xpc_retain(peer)));
            fPeerLogs.push_back(std::make_unique<EventLog>());
            log = fPeerLogs.back().get();
        }
        xpc_connection_set_event_handler(peer, [this, peer, log](xpc_object_t event) {
            log->record(event);
            if (xpc_get_type(event) != XPC_TYPE_DICTIONARY) {
                return;
            }
            if (fAnswer == Answer::CancelPeer) {
                xpc_connection_cancel(peer);
            } else if (fAnswer == Answer::Echo) {
                xpc_connection_send_message(peer, event);
            }
        });
        if (fResumesPeers) {
            xpc_connection_resume(peer);
        }
    }

    xpc_connection_t fListener;
    const Answer fAnswer;
    const bool fResumesPeers;
    std::mutex fLock;
    std::vector<xpc_connection_t> fPeers;
    std::deque<std::unique_ptr<EventLog>> fPeerLogs;
};

} // namespace XPCTestSupport
