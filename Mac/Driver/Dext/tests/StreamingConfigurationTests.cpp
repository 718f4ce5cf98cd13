#include "DextDevice.h"
#include "DextTestSupport.h"
#include "LateInputRequest.h"

#include <KorvanRequestRing.h>

#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/LogCapture.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::Family;
using KorvanInterface::Model;
using KorvanInterface::Variant;

struct Configuration
{
    const char* name;
    uint32_t rate;
    Family family;
    uint8_t headerVersion;
    Variant variant;
};

// Over 200 blocks of streaming on the real clock against a Wrenlet, the rings read as the plug-in reads
// them: every block header the driver wrote is collected while the rings go round.
class DextStreamingConfiguration : public DextTesting::DextDeviceTest,
                                   public testing::WithParamInterface<Configuration>
{
protected:
    using Headers = std::map<uint64_t, BlockHeader>;
    static constexpr size_t kBlocksChecked = 200;
    // An output request goes this many microframes after the input request it mirrors.
    static constexpr uint64_t kOutputDistance = 2400;

    // What was last taken from each block of a ring.
    using Taken = std::array<std::pair<uint64_t, uint64_t>, kRequestBlockCount>;

    // The driver writes a header's counts, then its microframe, then its host time, while this
    // thread reads them in the other order: a read that overlaps the driver's rewrite of a block
    // can hold new fields under the old host time. Such a read is left for the next poll. An input
    // header is written again only to add its counts.
    static void collect(const USBRequestBlock* ring, Headers& headers, Taken& taken)
    {
        for (size_t block = 0; block < kRequestBlockCount; ++block) {
            const BlockHeader header = ReadBlockHeader(ring[block]);
            auto& [microframe, hostTime] = taken[block];
            if (header.fHostTime == 0 || (header.fHostTime == hostTime && header.fMicroframe != microframe)) {
                continue;
            }
            const auto [entry, added] = headers.try_emplace(header.fMicroframe, header);
            if (!added && entry->second.fHostTime == header.fHostTime && entry->second.fEndByteCount == 0) {
                entry->second = header;
            }
            microframe = header.fMicroframe;
            hostTime = header.fHostTime;
        }
    }

    // Pairs of neighbouring blocks' microframes that may lie further apart than one block.
    using Gaps = std::set<std::pair<uint64_t, uint64_t>>;

    // A driver that queued an input request after the bus had passed its frame logs it and queues
    // it further on: the frames between are lost, and its output keeps its distance (`shift`).
    static Gaps lateRequestGaps(const DarwinTesting::LogCapture& capture, uint64_t shift)
    {
        Gaps gaps;
        for (const std::string& line : DextTesting::lines(capture)) {
            if (const auto request = ParseLateInputRequest(line)) {
                gaps.insert({request->late * 8 - kPacketsPerBlock + shift, request->queued * 8 + shift});
            }
        }
        return gaps;
    }

    // Consecutive blocks 160 microframes apart but for the gaps given, later in host time, with
    // continuous byte counts.
    static void expectContinuous(const Headers& headers, const Gaps& gaps, const char* ring)
    {
        ASSERT_GT(headers.size(), kBlocksChecked) << ring;
        const BlockHeader* previous = nullptr;
        for (const auto& [microframe, header] : headers) {
            if (previous != nullptr) {
                if (gaps.count({previous->fMicroframe, microframe}) == 0) {
                    EXPECT_EQ(microframe, previous->fMicroframe + kPacketsPerBlock) << ring;
                }
                EXPECT_GT(header.fHostTime, previous->fHostTime) << ring;
                EXPECT_EQ(header.fStartByteCount, previous->fEndByteCount) << ring << " at " << microframe;
            }
            previous = &header;
        }
    }
};

TEST_P(DextStreamingConfiguration, StreamsContinuouslyWithOutputClockedByInput)
{
    const Configuration& c = GetParam();
    DarwinTesting::LogCapture capture;
    const DescriptorOptions options =
        KorvanInterface::variantOptions(Model::Wrenlet, DextTesting::kVendor, c.variant);
    attach(options, c.headerVersion);
    connect = open();
    const KorvanInterface::ChannelCounts channels = options.channels[size_t(c.family)];
    const uint32_t alternate = uint32_t(c.family) + 1;

    USBUACControlRequest rate{1, 1, KorvanInterface::Entity::kClockSource, 4, {}};
    std::memcpy(rate.fData, &c.rate, 4);
    std::vector<uint8_t> response(4113, 0);
    size_t size = response.size();
    ASSERT_EQ(call(4, &rate, sizeof(rate), response.data(), &size), kIOReturnSuccess);
    mach_vm_address_t inAddress = 0;
    mach_vm_address_t outAddress = 0;
    mach_vm_size_t mapped = 0;
    ASSERT_EQ(IOConnectMapMemory64(connect, 1, mach_task_self(), &inAddress, &mapped, 1), kIOReturnSuccess);
    ASSERT_EQ(IOConnectMapMemory64(connect, 2, mach_task_self(), &outAddress, &mapped, 1), kIOReturnSuccess);
    const uint32_t inBytes = channels.in * options.subslotSize;
    const uint32_t outBytes = channels.out * options.subslotSize;
    const USBAudioRunStateRequest start{1,       KorvanInterface::kRecordInterface,   alternate,
                                        inBytes, KorvanInterface::kPlaybackInterface, alternate,
                                        outBytes};
    ASSERT_EQ(startStreaming(start, 0, c.headerVersion), kIOReturnSuccess);

    Headers in;
    Headers out;
    Taken inTaken{};
    Taken outTaken{};
    // About five seconds, however late the stream started on a busy machine; input blocks still in
    // flight at the stop are left out below.
    const auto limit = std::chrono::steady_clock::now() + DarwinTesting::kPollLimit;
    while ((in.size() <= kBlocksChecked + kRequestBlockCount || out.size() <= kBlocksChecked) &&
           std::chrono::steady_clock::now() < limit) {
        collect(reinterpret_cast<const USBRequestBlock*>(inAddress), in, inTaken);
        collect(reinterpret_cast<const USBRequestBlock*>(outAddress), out, outTaken);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(runState({}), kIOReturnSuccess);

    // Input blocks still in flight at the stop carry no counts yet.
    while (!in.empty() && in.rbegin()->second.fEndByteCount == 0) {
        in.erase(std::prev(in.end()));
    }
    expectContinuous(in, lateRequestGaps(capture, 0), "input");
    expectContinuous(out, lateRequestGaps(capture, kOutputDistance), "output");
    EXPECT_TRUE(model->mirrorMismatches().empty()) << model->mirrorMismatches().size() << " microframes";
    for (const std::string& line : DextTesting::lines(capture)) {
        for (const char* trouble : {"!! Isoc stalled!", "USB IN ERR", "Assertion failed"}) {
            EXPECT_EQ(line.find(trouble), std::string::npos) << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    DextRates, DextStreamingConfiguration,
    testing::Values(Configuration{"Single48kHeaders2", 48000, Family::Single, 2, Variant::Standard},
                    Configuration{"Single48kHeaders1", 48000, Family::Single, 1, Variant::Standard},
                    Configuration{"Single48kNoHeaders", 48000, Family::Single, 0, Variant::Standard},
                    Configuration{"Quad192kHeaders2", 192000, Family::Quad, 2, Variant::Standard},
                    Configuration{"Quad192kHeaders1", 192000, Family::Quad, 1, Variant::Standard},
                    Configuration{"Quad192kNoHeaders", 192000, Family::Quad, 0, Variant::Standard},
                    Configuration{"Subslot3", 48000, Family::Single, 2, Variant::Subslot3}),
    [](const testing::TestParamInfo<Configuration>& info) { return std::string(info.param.name); });

} // namespace
