#include <KextTestSupport.h>
#include <ManualBusClock.h>

#include "com_vork_driver_tide_usb_io_stream.h"

#include <IOKit/IOBufferMemoryDescriptor.h>

#include <KorvanRequestRing.h>
#include <SimUSBTesting/EchoDevice.h>

#include <algorithm>
#include <chrono>
#include <optional>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;
using SimUSBTesting::EchoDevice;
using namespace std::chrono_literals;

struct PacketCase
{
    const char* fName;
    size_t fInPacketBytes;
    uint32_t fInBytesPerFrame;
    uint32_t fOutBytesPerFrame;
    // Per microframe.
    uint64_t fInputCount;
    uint64_t fOutputRequest;
    bool fCapped;
};

// The stream on the echo device's isochronous pipes, whose input packets all have one length, on the
// manual clock.
class KextOutputPacketTests : public KextFixture, public testing::WithParamInterface<PacketCase>
{
protected:
    void SetUp() override
    {
        KextFixture::SetUp();
        fEcho->setIsochronousInLength(GetParam().fInPacketBytes);
        plugIn(fEcho);
        fInterface = KernelIOKitTesting::interfaceNub(fDevice, 1);
        ASSERT_EQ(fInterface->selectAlternateSetting(1), kIOReturnSuccess);
        fInPipe = fInterface->copyPipe(EchoDevice::kIsochronousIn);
        fOutPipe = fInterface->copyPipe(EchoDevice::kIsochronousOut);
        ASSERT_NE(fInPipe, nullptr);
        ASSERT_NE(fOutPipe, nullptr);
        fProvider = new KextRecordingProvider;
        ASSERT_TRUE(fProvider->init());
        fStream = com_vork_driver_tide_usb_io_stream::Create(fDevice->getWorkLoop());
        ASSERT_NE(fStream, nullptr);
        fBusClock.emplace();
    }

    void TearDown() override
    {
        if (fStream) {
            fStream->Abort();
        }
        OSSafeReleaseNULL(fStream);
        OSSafeReleaseNULL(fInPipe);
        OSSafeReleaseNULL(fOutPipe);
        OSSafeReleaseNULL(fProvider);
        KextFixture::TearDown();
        fBusClock.reset();
    }

    static BlockHeader header(IOBufferMemoryDescriptor* ring, size_t index)
    {
        return ReadBlockHeader(*reinterpret_cast<const USBRequestBlock*>(
            static_cast<const uint8_t*>(ring->getBytesNoCopy()) + RequestBlockOffset(index)));
    }

    std::shared_ptr<EchoDevice> fEcho = std::make_shared<EchoDevice>();
    IOUSBHostInterface* fInterface = nullptr;
    IOUSBHostPipe* fInPipe = nullptr;
    IOUSBHostPipe* fOutPipe = nullptr;
    KextRecordingProvider* fProvider = nullptr;
    com_vork_driver_tide_usb_io_stream* fStream = nullptr;
    std::optional<ManualBusClock> fBusClock;
};

// Each output request carries as many frames as its input packet brought, never more than the
// output endpoint takes, however large a frame the client claims; the byte counts follow what was
// requested.
TEST_P(KextOutputPacketTests, OutputRequestsFollowTheInputPackets)
{
    const PacketCase& c = GetParam();
    IOWorkLoop* loop = fDevice->getWorkLoop();
    loop->closeGate();
    const bool started =
        fStream->Start(fProvider, fInterface, fInPipe, c.fInBytesPerFrame, fOutPipe, c.fOutBytesPerFrame);
    loop->openGate();
    ASSERT_TRUE(started);
    IOBufferMemoryDescriptor* input = fStream->GetBuffer(1);
    IOBufferMemoryDescriptor* output = fStream->GetBuffer(2);
    // The first input block is skipped; the second, done 61 frames after the start, built the first
    // output block.
    fBusClock->clock().advance(62ms);
    ASSERT_NE(header(output, 0).fHostTime, 0u);

    const BlockHeader in = header(input, 1);
    const BlockHeader out = header(output, 0);
    EXPECT_EQ(in.fEndByteCount - in.fStartByteCount, kPacketsPerBlock * c.fInputCount);
    EXPECT_EQ(out.fEndByteCount - out.fStartByteCount, kPacketsPerBlock * c.fOutputRequest);
    EXPECT_EQ(out.fStartByteCount, 0u);
    // A capped request is logged once, with the most one of its packets asked for.
    const std::vector<std::string> lines = logLines();
    const auto capping = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("output request ", 0) == 0;
    });
    EXPECT_EQ(capping, c.fCapped ? 1 : 0);
    const uint64_t asked = uint64_t(c.fInPacketBytes / c.fInBytesPerFrame) * c.fOutBytesPerFrame;
    EXPECT_EQ(logged("output request 0: 160 packets capped, the largest asked for " + std::to_string(asked) +
                     " bytes\n"),
              c.fCapped);
    input->release();
    output->release();
}

INSTANTIATE_TEST_SUITE_P(Packets, KextOutputPacketTests,
                         testing::Values(PacketCase{"Empty", 0, 6, 16, 0, 0, false},
                                         PacketCase{"APartFrameIsDropped", 7, 6, 16, 6, 16, false},
                                         PacketCase{"SixFrames", 144, 24, 16, 144, 96, false},
                                         PacketCase{"CappedAtTheEndpoint", 500, 6, 16, 498,
                                                    EchoDevice::kIsochronousMaxPacket, true},
                                         // Six frames of 0x2AAAAAAB bytes are 2 bytes past 4 GiB.
                                         PacketCase{"AHugeFrameIsCappedNotWrapped", 144, 24, 0x2AAAAAAB, 144,
                                                    EchoDevice::kIsochronousMaxPacket, true}),
                         [](const testing::TestParamInfo<PacketCase>& info) {
                             return std::string(info.param.fName);
                         });

} // namespace
} // namespace KextTesting
