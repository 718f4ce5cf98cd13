#pragma once

// The unit's boot-loader data interface behind a pseudo terminal, as a CDC-ACM tty would show it:
// bytes written to the terminal reach bulk OUT in pieces of at most 64 bytes, and the bulk IN
// answers are written back. Any SAM-BA client can be pointed at the terminal's path.

#include <Wrenlet/WrenletHardware.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace Wrenlet {

class SambaPty
{
public:
    static constexpr size_t kPieceSize = 64;

    // Null when no pseudo terminal can be had.
    static std::unique_ptr<SambaPty> open(std::shared_ptr<WrenletHardware> unit);
    ~SambaPty();
    SambaPty(const SambaPty&) = delete;
    SambaPty& operator=(const SambaPty&) = delete;

    const std::string& path() const { return fPath; }

private:
    SambaPty(std::shared_ptr<WrenletHardware> unit, int master, int slave, std::string path);
    void serve();

    const std::shared_ptr<WrenletHardware> fUnit;
    const int fMaster;
    // Held open so that the terminal stays up between clients.
    const int fSlave;
    const std::string fPath;
    std::atomic<bool> fStop{false};
    std::thread fThread;
};

} // namespace Wrenlet
