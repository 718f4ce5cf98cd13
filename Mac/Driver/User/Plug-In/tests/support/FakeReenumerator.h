#pragma once

// A stand-in for the re-enumeration daemon: it listens on "com.vork.tide.reenumerator", accepts
// every peer, counts each reset request, never replies, and ends the peer after each message. In
// silent mode it accepts and never ends a peer.

#include <dispatch/dispatch.h>
#include <xpc/xpc.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace PlugInTesting {

inline constexpr const char* kReenumeratorService = "com.vork.tide.reenumerator";

class FakeReenumerator
{
public:
    enum class Mode
    {
        Normal,
        Silent,
    };

    explicit FakeReenumerator(Mode mode = Mode::Normal);
    // Cancels the listener and its peers, and waits until their last events have been delivered.
    ~FakeReenumerator();
    FakeReenumerator(const FakeReenumerator&) = delete;
    FakeReenumerator& operator=(const FakeReenumerator&) = delete;

    int resetCount() const;
    int messageCount() const;
    // Peers accepted so far, and those whose connection has ended.
    int peerCount() const;
    int endedPeerCount() const;
    // Waits (real time) until `count` messages have arrived.
    bool waitForMessages(int count, std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

private:
    void HandleListenerEvent(xpc_object_t event);
    void HandlePeerEvent(xpc_connection_t peer, xpc_object_t event);

    const Mode fMode;
    dispatch_queue_t fQueue;
    xpc_connection_t fListener;
    mutable std::mutex fMutex;
    mutable std::condition_variable fChanged;
    std::vector<xpc_connection_t> fPeers;
    int fResets = 0;
    int fMessages = 0;
    int fAcceptedPeers = 0;
    int fEndedPeers = 0;
    int fOpenConnections = 0;
};

} // namespace PlugInTesting
