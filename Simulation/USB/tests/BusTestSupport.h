#pragma once

#include <SimUSB/Bus.h>
#include <SimUSBTesting/EchoDevice.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace SimUSBTests {

// Records what the bus tells a host.
class RecordingListener : public SimUSB::HostListener
{
public:
    void deviceArrived(const std::shared_ptr<SimUSB::HostDevice>& device) override
    {
        std::lock_guard lock(fLock);
        fArrived.push_back(device);
        fChanged.notify_all();
    }
    void deviceLeft(const std::shared_ptr<SimUSB::HostDevice>& device) override
    {
        std::lock_guard lock(fLock);
        fLeft.push_back(device);
        fChanged.notify_all();
    }
    std::vector<std::shared_ptr<SimUSB::HostDevice>> arrived()
    {
        std::lock_guard lock(fLock);
        return fArrived;
    }
    std::vector<std::shared_ptr<SimUSB::HostDevice>> left()
    {
        std::lock_guard lock(fLock);
        return fLeft;
    }
    std::shared_ptr<SimUSB::HostDevice> waitForArrival(size_t count)
    {
        std::unique_lock lock(fLock);
        fChanged.wait(lock, [&] { return fArrived.size() >= count; });
        return fArrived[count - 1];
    }

private:
    std::mutex fLock;
    std::condition_variable fChanged;
    std::vector<std::shared_ptr<SimUSB::HostDevice>> fArrived;
    std::vector<std::shared_ptr<SimUSB::HostDevice>> fLeft;
};

// Collects transfer completions in order.
class Completions
{
public:
    SimUSB::Completion completion() { return {&Completions::record, this}; }

    std::vector<SimUSB::TransferResult> waitFor(size_t count)
    {
        std::unique_lock lock(fLock);
        fChanged.wait(lock, [&] { return fResults.size() >= count; });
        return fResults;
    }
    // Whether `count` completions came within `limit` of real time.
    bool arrive(size_t count, std::chrono::milliseconds limit)
    {
        std::unique_lock lock(fLock);
        return fChanged.wait_for(lock, limit, [&] { return fResults.size() >= count; });
    }
    std::vector<SimUSB::TransferResult> results()
    {
        std::lock_guard lock(fLock);
        return fResults;
    }

private:
    static void record(void* context, const SimUSB::TransferResult& result)
    {
        auto* self = static_cast<Completions*>(context);
        std::lock_guard lock(self->fLock);
        self->fResults.push_back(result);
        self->fChanged.notify_all();
    }

    std::mutex fLock;
    std::condition_variable fChanged;
    std::vector<SimUSB::TransferResult> fResults;
};

// A bus with the echo device enumerated on port 1 and a listener that saw it arrive.
struct EchoBus
{
    EchoBus()
    {
        bus.addListener(&listener);
        bus.attach(1, echo);
        device = listener.waitForArrival(1);
    }
    ~EchoBus()
    {
        bus.reset();
        bus.removeListener(&listener);
    }

    // Selects alternate 1 of interface 1, where the isochronous endpoints live.
    void selectStreaming() { device->control({0x01, SimUSB::Request::kSetInterface, 1, 1, 0}, nullptr, 0); }

    SimUSB::Bus bus;
    RecordingListener listener;
    std::shared_ptr<SimUSBTesting::EchoDevice> echo = std::make_shared<SimUSBTesting::EchoDevice>();
    std::shared_ptr<SimUSB::HostDevice> device;
};

} // namespace SimUSBTests
