#include "BusTestSupport.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <array>
#include <numeric>

using namespace std::chrono_literals;
using SimUSB::IsochronousFrame;
using SimUSBTesting::EchoDevice;

namespace {

constexpr uint32_t kEntries = 80;
constexpr int kRequestsInFlight = 3;
constexpr uint64_t kFramesPerRequest = kEntries / 8;

// Streams one direction as a driver does: a few requests back to back, each queued again from its
// completion until the stream reaches its last frame.
class Stream
{
public:
    Stream(SimUSB::HostDevice& device, uint8_t endpoint, uint64_t firstFrame, uint64_t endFrame)
        : fDevice(device), fEndpoint(endpoint), fEndFrame(endFrame)
    {
        for (int i = 0; i < kRequestsInFlight; ++i) {
            Request& request = fRequests[size_t(i)];
            request.owner = this;
            request.data.assign(size_t(kEntries) * EchoDevice::kIsochronousMaxPacket, 0);
            request.frames.resize(kEntries);
            submit(request, firstFrame + uint64_t(i) * kFramesPerRequest);
        }
    }

    int completions() const { return fCompletions.load(); }
    bool failed() const { return fFailed.load(); }

private:
    struct Request
    {
        Stream* owner = nullptr;
        std::vector<uint8_t> data;
        std::vector<IsochronousFrame> frames;
        uint64_t first = 0;
    };

    void submit(Request& request, uint64_t first)
    {
        for (auto& frame : request.frames) {
            frame = {0, EchoDevice::kIsochronousMaxPacket, 0, 0, 0};
        }
        request.first = first;
        if (fDevice.submitIsochronous(fEndpoint, request.data.data(), request.data.size(),
                                      request.frames.data(), kEntries, first,
                                      {&Stream::done, &request}) != SimUSB::kSuccess) {
            fFailed = true;
        }
    }

    static void done(void* context, const SimUSB::TransferResult& result)
    {
        auto& request = *static_cast<Request*>(context);
        Stream& self = *request.owner;
        ++self.fCompletions;
        if (result.status != SimUSB::kSuccess) {
            self.fFailed = true;
            return;
        }
        const uint64_t next = request.first + kRequestsInFlight * kFramesPerRequest;
        if (next < self.fEndFrame) {
            self.submit(request, next);
        }
    }

    SimUSB::HostDevice& fDevice;
    uint8_t fEndpoint;
    uint64_t fEndFrame;
    std::array<Request, kRequestsInFlight> fRequests;
    std::atomic<int> fCompletions{0};
    std::atomic<bool> fFailed{false};
};

TEST(MicroframeService, AManualSecondOfStreamingWakesTheTransferThreadPerCompletionNotPerMicroframe)
{
    DarwinTesting::ManualClock clock;
    SimUSBTests::EchoBus echoBus;
    echoBus.selectStreaming();
    const uint64_t first = echoBus.bus.frameClock().currentFrame() + 1;
    const uint64_t end = first + 1000;
    const uint64_t waitsBefore = echoBus.bus.transferThreadWaits();

    Stream in(*echoBus.device, EchoDevice::kIsochronousIn, first, end);
    Stream out(*echoBus.device, EchoDevice::kIsochronousOut, first, end);
    clock.advanceTo(echoBus.bus.frameClock().microframeStart(end * 8) + 2'000'000);

    ASSERT_FALSE(in.failed());
    ASSERT_FALSE(out.failed());
    const int completions = in.completions() + out.completions();
    EXPECT_EQ(completions, 2 * 1000 / int(kFramesPerRequest));
    // Each completion is one hand-off to the thread that delivers it; the 8,000 microframes are
    // served without one.
    EXPECT_LE(echoBus.bus.transferThreadWaits() - waitsBefore, uint64_t(completions));

    std::vector<uint64_t> expected(8000);
    std::iota(expected.begin(), expected.end(), first * 8);
    EXPECT_EQ(echoBus.echo->isochronousInMicroframes(), expected);
    std::vector<uint64_t> outMicroframes;
    for (const auto& packet : echoBus.echo->isochronousOutPackets()) {
        outMicroframes.push_back(packet.microframe);
    }
    EXPECT_EQ(outMicroframes, expected);
}

} // namespace
