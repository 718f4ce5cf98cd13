#include <Wrenlet/RemoteBitbangBridge.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Wrenlet {

namespace {

constexpr int kPollMilliseconds = 20;

} // namespace

RemoteBitbangBridge::RemoteBitbangBridge(JtagTarget& target) : fTarget(target), fListener(1)
{
    fThread = std::thread([this] { serve(); });
}

RemoteBitbangBridge::~RemoteBitbangBridge()
{
    fStopping = true;
    fThread.join();
}

void RemoteBitbangBridge::serve()
{
    const int connection = fListener.accept(fStopping);
    char buffer[4096];
    bool open = connection >= 0;
    while (open && !fStopping) {
        pollfd poller{connection, POLLIN, 0};
        if (::poll(&poller, 1, kPollMilliseconds) <= 0) {
            continue;
        }
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        open = got > 0;
        for (ssize_t i = 0; open && i < got; ++i) {
            open = command(connection, buffer[i]);
        }
    }
    if (connection >= 0) {
        ::close(connection);
    }
}

bool RemoteBitbangBridge::command(int connection, char byte)
{
    if (byte >= '0' && byte <= '7') {
        const int value = byte - '0';
        const bool tck = value & 4;
        // The TAP moves on the rising edge of TCK.
        if (tck && !fClockHigh) {
            fTarget.clock((value & 2) != 0, (value & 1) != 0);
        }
        fClockHigh = tck;
        return true;
    }
    if (byte == 'R') {
        const char answer = fTarget.tdo() ? '1' : '0';
        return ::send(connection, &answer, 1, MSG_NOSIGNAL) == 1;
    }
    // Blink, the reset lines and anything newer: nothing this target has.
    return byte != 'Q';
}

} // namespace Wrenlet
