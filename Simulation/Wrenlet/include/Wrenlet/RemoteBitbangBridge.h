#pragma once

// OpenOCD's remote_bitbang protocol on 127.0.0.1 (an ephemeral port) into a JTAG target, so an
// independent JTAG host can probe and program the model. One connection; it ends with the bridge.

#include <Wrenlet/JtagTarget.h>

#include <SimNetwork/LoopbackListener.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace Wrenlet {

class RemoteBitbangBridge
{
public:
    explicit RemoteBitbangBridge(JtagTarget& target);
    ~RemoteBitbangBridge();
    RemoteBitbangBridge(const RemoteBitbangBridge&) = delete;
    RemoteBitbangBridge& operator=(const RemoteBitbangBridge&) = delete;

    uint16_t port() const { return fListener.port(); }

private:
    void serve();
    // Answers one command byte on the connection; false at its end.
    bool command(int connection, char byte);

    JtagTarget& fTarget;
    const SimNetwork::LoopbackListener fListener;
    std::atomic<bool> fStopping{false};
    bool fClockHigh = false;
    std::thread fThread;
};

} // namespace Wrenlet
