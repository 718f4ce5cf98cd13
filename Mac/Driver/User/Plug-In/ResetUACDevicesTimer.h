#pragma once

// Asks the re-enumeration daemon, at start and then every 5 s (seven times in all), to re-enumerate
// the interfaces the system's class driver still holds. Each request runs on the work loop's thread
// and waits until the daemon has ended the connection, or 5 s at most.

#include <memory>

class WorkLoop;

class ResetUACDevicesTimer
{
public:
    ResetUACDevicesTimer();
    ~ResetUACDevicesTimer();
    ResetUACDevicesTimer(const ResetUACDevicesTimer&) = delete;
    ResetUACDevicesTimer& operator=(const ResetUACDevicesTimer&) = delete;

    // On the loop's thread: the first request at once, the others from a repeating timer.
    void Start(WorkLoop* workLoop);
    // No further requests.
    void Stop();

    // The function name of the connection's event handler, as its log lines give it.
    static constexpr const char* kEventHandlerName =
        "void ResetUACDevicesTimer::Impl::ResetUAC()_block_invoke";

    class Impl;

private:
    std::unique_ptr<Impl> fImpl;
};
