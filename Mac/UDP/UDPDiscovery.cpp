#include "UDPDiscovery.h"

#include "Announcement.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

UDPDiscovery::UDPDiscovery(Client& client, uint16_t port) : fClient(client)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return;
    }
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return;
    }
    fSocket = fd;
    fPort = ntohs(address.sin_port);
    fReader = std::thread([this] { ReadEthernet(); });
}

UDPDiscovery::~UDPDiscovery()
{
    fClosed.store(true);
    if (fSocket >= 0) {
        // close() leaves a thread blocked in recvfrom asleep; shutdown wakes it (Linux answers
        // ENOTCONN for an unconnected datagram socket, yet the receive returns).
        shutdown(fSocket, SHUT_RDWR);
    }
    if (fReader.joinable()) {
        fReader.join();
    }
    if (fSocket >= 0) {
        close(fSocket);
    }
    std::printf("Socket closed\n");
    std::fflush(stdout);
    fMessages.clear();
}

void UDPDiscovery::ReadEthernet()
{
    char buffer[kMaximumDatagram];
    while (!fClosed.load()) {
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t received =
            recvfrom(fSocket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (fClosed.load()) {
            return;
        }
        if (received <= 0 || sender.sin_family != AF_INET) {
            continue;
        }
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &sender.sin_addr, dotted, sizeof dotted);
        std::string message(buffer, static_cast<size_t>(received));
        replaceSourcePlaceholder(message, dotted);
        fMessages.PushMessage(std::move(message));
        fClient.udp_rx();
    }
}
