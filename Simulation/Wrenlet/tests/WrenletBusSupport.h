#pragma once

// A host-side view of the bus for the unit's tests: waits (each with a deadline) for arrivals and
// departures, and synchronous bulk and control transfers.

#include <SimUSB/Bus.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace WrenletTests {

constexpr auto kWaitLimit = std::chrono::seconds(10);

class Host : public SimUSB::HostListener
{
public:
    explicit Host(SimUSB::Bus& bus) : fBus(bus) { fBus.addListener(this); }
    ~Host() override { fBus.removeListener(this); }

    void deviceArrived(const std::shared_ptr<SimUSB::HostDevice>& device) override
    {
        std::lock_guard lock(fLock);
        fDevice = device;
        ++fArrivals;
        fChanged.notify_all();
    }
    void deviceLeft(const std::shared_ptr<SimUSB::HostDevice>&) override
    {
        std::lock_guard lock(fLock);
        fDevice.reset();
        ++fDepartures;
        fChanged.notify_all();
    }

    // The device of arrival number `count` (1 = the first).
    std::shared_ptr<SimUSB::HostDevice> arrival(int count)
    {
        std::unique_lock lock(fLock);
        if (!fChanged.wait_for(lock, kWaitLimit, [&] { return fArrivals >= count && fDevice; }))
            ADD_FAILURE() << "arrival " << count << " never came";
        return fDevice;
    }
    void departure(int count)
    {
        std::unique_lock lock(fLock);
        if (!fChanged.wait_for(lock, kWaitLimit, [&] { return fDepartures >= count; }))
            ADD_FAILURE() << "departure " << count << " never came";
    }

private:
    SimUSB::Bus& fBus;
    std::mutex fLock;
    std::condition_variable fChanged;
    std::shared_ptr<SimUSB::HostDevice> fDevice;
    int fArrivals = 0;
    int fDepartures = 0;
};

inline SimUSB::TransferResult bulk(SimUSB::HostDevice& device, uint8_t endpoint, std::vector<uint8_t>& buffer,
                                   uint32_t timeoutMs = 1000)
{
    std::promise<SimUSB::TransferResult> done;
    const SimUSB::Status status =
        device.submit(endpoint, buffer.data(), uint32_t(buffer.size()), timeoutMs,
                      {[](void* context, const SimUSB::TransferResult& result) {
                           static_cast<std::promise<SimUSB::TransferResult>*>(context)->set_value(result);
                       },
                       &done});
    if (status != SimUSB::kSuccess)
        return {status, 0, 0};
    auto future = done.get_future();
    if (future.wait_for(kWaitLimit) != std::future_status::ready) {
        ADD_FAILURE() << "bulk transfer never completed";
        device.abort(endpoint, SimUSB::kAborted);
        return future.get();
    }
    return future.get();
}

// Sends `text` to bulk OUT and reads `answerLength` bytes from bulk IN.
inline std::string exchange(SimUSB::HostDevice& device, const std::string& text, size_t answerLength)
{
    std::vector<uint8_t> out(text.begin(), text.end());
    EXPECT_EQ(bulk(device, 0x01, out).actual, out.size());
    if (answerLength == 0)
        return {};
    std::vector<uint8_t> in(answerLength);
    const auto result = bulk(device, 0x82, in);
    return std::string(in.begin(), in.begin() + result.actual);
}

} // namespace WrenletTests
