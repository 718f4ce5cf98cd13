#pragma once

// Listens for endpoint announcements on a UDP port. A reader thread queues each datagram, with
// "<src_ip>" replaced by the sender's address, and tells the client; the main thread drains the
// queue. When the socket cannot be made or bound nothing runs and nothing is reported.

#include "MessageQueue.h"

#include <atomic>
#include <cstdint>
#include <thread>

class UDPDiscovery
{
public:
    static constexpr uint16_t kDefaultPort = 1280;
    static constexpr size_t kMaximumDatagram = 2048;

    class Client
    {
    public:
        // On the reader thread, after each queued datagram.
        virtual void udp_rx() = 0;

    protected:
        ~Client() = default;
    };

    // Port 0 binds any free port (see `port`).
    explicit UDPDiscovery(Client& client, uint16_t port = kDefaultPort);
    // Wakes and joins the reader, closes the socket, prints "Socket closed" and drops what is queued.
    ~UDPDiscovery();

    UDPDiscovery(const UDPDiscovery&) = delete;
    UDPDiscovery& operator=(const UDPDiscovery&) = delete;

    MessageQueue& messages() { return fMessages; }
    // The bound port; 0 when nothing is bound.
    uint16_t port() const { return fPort; }

private:
    void ReadEthernet();

    Client& fClient;
    MessageQueue fMessages;
    int fSocket = -1;
    uint16_t fPort = 0;
    std::atomic<bool> fClosed{false};
    std::thread fReader;
};
