#pragma once

// A live peer connection handed to the test instead of to a server, so that a test can give the
// daemon's peer handler objects XPC cannot carry. Its client's events and the messages that reach
// the peer are recorded.

#include <xpc/xpc.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace ReenumeratorTesting {

class CapturedPeer
{
public:
    CapturedPeer();
    // Cancels client, peer and listener, and waits for their last events.
    ~CapturedPeer();
    CapturedPeer(const CapturedPeer&) = delete;
    CapturedPeer& operator=(const CapturedPeer&) = delete;

    xpc_connection_t peer() const { return fPeer; }
    // Sends a dictionary from the client; answers once it has reached the peer.
    bool sendToPeer();
    // Waits until the client has had an event, and answers the first (null if none came in time).
    xpc_object_t firstClientEvent();
    // The client's events so far.
    size_t clientEventCount() const;

private:
    void Record(std::vector<xpc_object_t>& events, xpc_object_t event);
    bool WaitFor(size_t& counter, size_t count);

    dispatch_queue_t fQueue;
    xpc_connection_t fListener;
    xpc_connection_t fClient;
    xpc_connection_t fPeer = nullptr;
    mutable std::mutex fMutex;
    std::condition_variable fChanged;
    std::vector<xpc_object_t> fClientEvents;
    size_t fPeerMessages = 0;
    size_t fEnded = 0;
};

} // namespace ReenumeratorTesting
