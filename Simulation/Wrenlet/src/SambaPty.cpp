#include <Wrenlet/SambaPty.h>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace Wrenlet {

namespace {

constexpr int kPollMs = 5;

bool writeAll(int fd, const uint8_t* bytes, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        bytes += written;
        length -= size_t(written);
    }
    return true;
}

} // namespace

std::unique_ptr<SambaPty> SambaPty::open(std::shared_ptr<WrenletHardware> unit)
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        return nullptr;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    return std::unique_ptr<SambaPty>(new SambaPty(std::move(unit), master, slave, name));
}

SambaPty::SambaPty(std::shared_ptr<WrenletHardware> unit, int master, int slave, std::string path)
    : fUnit(std::move(unit)), fMaster(master), fSlave(slave), fPath(std::move(path))
{
    fThread = std::thread([this] { serve(); });
}

SambaPty::~SambaPty()
{
    fStop = true;
    fThread.join();
    ::close(fSlave);
    ::close(fMaster);
}

void SambaPty::serve()
{
    uint8_t input[4096];
    uint8_t answer[kPieceSize * 8];
    while (!fStop) {
        pollfd wait{fMaster, POLLIN, 0};
        if (poll(&wait, 1, kPollMs) > 0 && (wait.revents & POLLIN)) {
            const ssize_t count = ::read(fMaster, input, sizeof input);
            for (ssize_t at = 0; at < count; at += ssize_t(kPieceSize)) {
                fUnit->bulkOut(std::span(input + at, std::min<size_t>(kPieceSize, size_t(count - at))));
            }
        }
        for (;;) {
            const SimUSB::InPacket packet = fUnit->bulkIn(answer);
            if (!packet.ready || packet.length == 0 || !writeAll(fMaster, answer, packet.length)) {
                break;
            }
        }
    }
}

} // namespace Wrenlet
