#pragma once

// A simulated high-speed host controller with one root hub. Device models attach to numbered ports;
// the bus enumerates them and tells its host listeners, which then transfer through HostDevice.

#include <SimUSB/Device.h>
#include <SimUSB/Fault.h>
#include <SimUSB/FrameClock.h>
#include <SimUSB/HostDevice.h>

#include <cstdint>
#include <memory>
#include <string>

namespace SimUSB {

// Told on the bus's event thread, one call at a time.
class HostListener
{
public:
    virtual ~HostListener() = default;
    virtual void deviceArrived(const std::shared_ptr<HostDevice>& device) = 0;
    // After every pending transfer of the device has been completed with kAborted.
    virtual void deviceLeft(const std::shared_ptr<HostDevice>& device) = 0;
};

class Bus
{
public:
    static constexpr uint8_t kPortCount = 15;
    // Periodic work (isochronous microframes, interrupt polls) is served this long after the
    // microframe boundary it waits for, about halfway into the microframe, so that the bus's own work
    // never falls on a frame boundary, where drivers poll the frame number. The frame counter and the
    // packets' timestamps are not moved by it. Whole microseconds, as drivers' clocks often step.
    static constexpr uint64_t kServiceDelay = 62'000;

    // The process's bus, which the host layers share. It lives until the process ends.
    static Bus& shared();

    Bus();
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // After `delay` ns on the Platform clock the bus enumerates the model on `port` (1 to kPortCount),
    // replacing whatever is there. Returns at once.
    void attach(uint8_t port, std::shared_ptr<Device> model, uint64_t delay = 0);
    // Unplugs the port's device; returns once the listeners have been told.
    void detach(uint8_t port);
    // Detaches now and attaches the same model again after `delay` ns.
    void reEnumerate(uint8_t port, uint64_t delay);
    // Detaches every device and forgets pending attachments, so the bus keeps no timed wait.
    void reset();
    // Returns once everything due on the event thread by now has been carried out.
    void settle();

    // The enumerated device on `port`, or null.
    std::shared_ptr<HostDevice> device(uint8_t port) const;

    // Tells the new listener about the devices already present, then about every later change.
    void addListener(HostListener* listener);
    // Returns once no call to the listener is in progress.
    void removeListener(HostListener* listener);

    FrameClock& frameClock();

    void injectFault(uint8_t port, uint8_t endpoint, const Fault& fault);
    void clearFaults(uint8_t port);
    // The time from the end of an isochronous transfer's last microframe to its completion, on top of
    // kServiceDelay.
    void setCompletionLatency(uint64_t ns);
    // Prompt: bulk transfers move as soon as they are queued and the model answers, with no
    // modelled wire time; an IN endpoint whose model has nothing yet is polled once per microframe
    // as usual. Off (the default): OUT data leaves at the next microframe boundary and an IN
    // endpoint is polled once per microframe.
    void setPromptBulk(bool prompt);
    // How many times the transfer thread has gone to sleep: its wake-ups, which tests of its cost
    // count.
    uint64_t transferThreadWaits() const;

    // Writes every transfer from now on into a pcap file of link type 220 (Linux usbmon, memory-mapped
    // form); isochronous transfers only when asked. False when the file cannot be written.
    bool startCapture(const std::string& path, bool isochronous = false);
    void stopCapture();

private:
    std::shared_ptr<BusCore> fCore;
};

} // namespace SimUSB
