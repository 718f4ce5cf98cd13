#include <KextTestSupport.h>

#include <KorvanRequestRing.h>

#include <cstring>

namespace KextTesting {
namespace {

using namespace KorvanDeviceIO;

class Kext103StreamTests : public KextFixture
{
protected:
    const USBRequestBlock& block(IOMemoryDescriptor* ring, size_t index)
    {
        return *reinterpret_cast<const USBRequestBlock*>(
            static_cast<const uint8_t*>(ring->getKernelAddress()) + RequestBlockOffset(index));
    }

    // The headers of a stopped ring's blocks in submission order, those never submitted left out.
    std::vector<BlockHeader> submitted(IOMemoryDescriptor* ring)
    {
        std::vector<BlockHeader> headers;
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            const BlockHeader header = ReadBlockHeader(block(ring, index));
            if (header.fHostTime != 0) {
                headers.push_back(header);
            }
        }
        std::sort(headers.begin(), headers.end(),
                  [](const BlockHeader& a, const BlockHeader& b) { return a.fHostTime < b.fHostTime; });
        return headers;
    }
};

TEST_F(Kext103StreamTests, StreamingFillsBothRingsWithContinuousBlocksAndStopsCleanly)
{
    plugIn(wrenlet());
    KextTestControl* control = startControl(false);
    ASSERT_NE(control, nullptr);
    com_vork_driver_tide_provider* provider = control->GetProvider();
    IOWorkLoop* loop = control->getWorkLoop();

    loop->closeGate();
    const IOReturn started = provider->StartAudioDMA(2, 1, 80, 1, 1, 88);
    loop->openGate();
    ASSERT_EQ(started, kIOReturnSuccess);
    EXPECT_EQ(KernelIOKitTesting::maxBusStall(control), 1u);
    EXPECT_EQ(fModel->alternate(2), 1);
    EXPECT_EQ(fModel->alternate(1), 1);
    loop->closeGate();
    EXPECT_EQ(provider->StartAudioDMA(2, 1, 80, 1, 1, 88), kIOReturnError);
    loop->openGate();

    IOMemoryDescriptor* input = provider->GetBufferDesc(1);
    IOMemoryDescriptor* output = provider->GetBufferDesc(2);
    ASSERT_NE(input, nullptr);
    ASSERT_NE(output, nullptr);
    // Twenty blocks of output submitted: the whole ring has gone round once.
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            if (ReadBlockHeader(block(output, index)).fEndByteCount == 0) {
                return false;
            }
        }
        return true;
    }));

    loop->closeGate();
    EXPECT_EQ(provider->StopAudioDMA(), kIOReturnSuccess);
    loop->openGate();
    EXPECT_EQ(fModel->alternate(2), 0);
    EXPECT_EQ(fModel->alternate(1), 0);
    EXPECT_EQ(KernelIOKitTesting::maxBusStall(control), 0u);

    for (IOMemoryDescriptor* ring : {output}) {
        const std::vector<BlockHeader> headers = submitted(ring);
        ASSERT_GE(headers.size(), kRequestBlockCount);
        for (size_t index = 1; index < headers.size(); ++index) {
            EXPECT_EQ(headers[index].fStartByteCount, headers[index - 1].fEndByteCount) << index;
            // 20 ms per block, as predicted from the frame snapshots.
            EXPECT_NEAR(double(headers[index].fHostTime - headers[index - 1].fHostTime), 20e6, 100e3)
                << index;
        }
    }
    const ChaseRecord zero{};
    for (IOMemoryDescriptor* ring : {input, output}) {
        for (size_t index = 0; index < kRequestBlockCount; ++index) {
            EXPECT_EQ(block(ring, index).fMicroframe, 0u);
            EXPECT_EQ(std::memcmp(&block(ring, index).fChase[1], &zero, sizeof(zero)), 0);
        }
    }
    for (const std::string& line : logLines()) {
        EXPECT_EQ(line.find("USB IN ERR"), std::string::npos) << line;
        EXPECT_EQ(line.find("UpdateFrameTimestamps FAIL"), std::string::npos) << line;
        EXPECT_EQ(line.find("OH NO"), std::string::npos) << line;
    }
    EXPECT_TRUE(logged("->USBIsocIOStream::Abort\n"));
    EXPECT_TRUE(logged("<-USBIsocIOStream::Abort\n"));
    input->release();
    output->release();
}

} // namespace
} // namespace KextTesting
