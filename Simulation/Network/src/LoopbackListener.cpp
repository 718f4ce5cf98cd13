#include <SimNetwork/LoopbackListener.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace SimNetwork {

namespace {

constexpr int kPollMilliseconds = 20;

} // namespace

LoopbackListener::LoopbackListener(int backlog)
{
    fSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fSocket < 0 || ::bind(fSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fSocket, backlog) != 0 ||
        ::getsockname(fSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fSocket >= 0) {
            ::close(fSocket);
        }
        throw std::runtime_error("cannot listen on loopback");
    }
    fPort = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener()
{
    ::close(fSocket);
}

int LoopbackListener::accept(const std::atomic<bool>& stopping) const
{
    while (!stopping) {
        pollfd poller{fSocket, POLLIN, 0};
        if (::poll(&poller, 1, kPollMilliseconds) > 0) {
            const int connection = ::accept4(fSocket, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                return connection;
            }
        }
    }
    return -1;
}

} // namespace SimNetwork
