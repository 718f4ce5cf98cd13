#pragma once

// The discovery's client: each received datagram calls the stored callable, on the reader thread.

#include <UDPDiscovery.h>

#include <functional>

class UDPClient final : public UDPDiscovery::Client
{
public:
    explicit UDPClient(std::function<void()> onReceive) : fOnReceive(std::move(onReceive)) {}

    void udp_rx() override { fOnReceive(); }

private:
    std::function<void()> fOnReceive;
};
