// A device's configuration descriptors and its answers to GET CUR requests through the set-up walks,
// the clock-source search and the entity search of the interrupt messages. Input: the descriptor
// block's length (2 bytes), its bytes, then answers as (length, bytes) pairs, each GET taking the
// next; the bytes left over are an interrupt message.

#include "KorvanServiceClient.h"
#include "Log.h"
#include "UACInterruptStatus.h"
#include "USBClockControl.h"
#include "USBDescriptorWalk.h"
#include "USBStreamingLayout.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Answers every GET CUR from the input; a request past the answers fails.
class AnsweringClient : public KorvanServiceClient
{
public:
    AnsweringClient(const uint8_t* answers, size_t size) : fAnswers(answers), fSize(size) {}

    bool Open() override { return true; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    const KorvanService& GetService() const override { return fService; }
    UInt32 GetClientType() const override { return 'IOIO'; }
    bool GetDeviceInfo(KorvanDeviceIO::DeviceInfoRequest*) override { return false; }
    bool SetProperty(UInt32, UInt32) override { return false; }
    bool GetProperty(UInt32, UInt32&) override { return false; }
    void* GetAudioBuffer(UInt32, UInt32&) override { return nullptr; }
    void ReleaseAudioBuffer(void*, UInt32) override {}
    bool SendVendorControlRequest(KorvanDeviceIO::USBVendorControlRequest*,
                                  KorvanDeviceIO::USBControlResponse*) override
    {
        return false;
    }
    bool SendUACControlRequest(KorvanDeviceIO::USBUACControlRequest* request,
                               KorvanDeviceIO::USBControlResponse* response) override
    {
        if (request->fLength > KorvanDeviceIO::kControlDataBytes) {
            std::abort();
        }
        if (request->fSet != 0) {
            return true;
        }
        if (fSize == 0) {
            return false;
        }
        const size_t length =
            std::min<size_t>(fAnswers[0] % (KorvanDeviceIO::kControlDataBytes + 2), fSize - 1);
        *response = {};
        response->fLength = uint8_t(length);
        std::memcpy(response->fData, fAnswers + 1,
                    std::min<size_t>(length, KorvanDeviceIO::kControlDataBytes));
        fAnswers += 1 + length;
        fSize -= 1 + length;
        return true;
    }
    bool SetUSBAudioRunState(KorvanDeviceIO::USBAudioRunStateRequest*) override { return false; }
    bool GetUSBConfig1Descriptors(KorvanDeviceIO::USBDescriptors*) override { return false; }
    bool GetChannelNames(KorvanDeviceIO::ChannelNamesRequest*, KorvanDeviceIO::ChannelNamesResponse*) override
    {
        return false;
    }
    bool GetStreamingHeadersVersion(UInt8&) override { return false; }
    bool SetStreamingHeadersEnable(KorvanDeviceIO::EnableStreamingHeadersRequest*) override { return false; }

    const uint8_t* Rest() const { return fAnswers; }
    size_t RestSize() const { return fSize; }

private:
    KorvanService fService;
    const uint8_t* fAnswers;
    size_t fSize;
};

void CheckFamilies(const IsocInfo& info)
{
    for (const IsocFamilyInfo& family : info.fFamily) {
        if (family.fNumCh > KorvanDeviceIO::kMaxDMAChannels || family.fMaxPacket > kMaxUsablePacketBytes) {
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Log::SetLevel(Log::None);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const size_t length = std::min<size_t>(size_t(data[0]) | size_t(data[1]) << 8, size - 2);
    auto* descriptors = new KorvanDeviceIO::USBDescriptors;
    std::memset(descriptors, 0, sizeof(*descriptors));
    // The block's length as the driver claims it; only the bytes it sent are there.
    descriptors->fLength = uint32_t(length);
    std::memcpy(descriptors->fData, data + 2, std::min(length, sizeof(descriptors->fData)));

    const uint32_t bytesPerSample = FindBusBytesPerSample(*descriptors);
    if (bytesPerSample != 3 && bytesPerSample != 4) {
        std::abort();
    }
    IsocInfo in;
    IsocInfo out;
    FindIsocInfo(*descriptors, in, out);
    CheckFamilies(in);
    CheckFamilies(out);

    const size_t rest = 2 + length;
    AnsweringClient client(data + rest, size - rest);
    const uint8_t* begin = descriptors->fData;
    const uint8_t* end = USBDescriptorWalk::End(*descriptors);
    const uint8_t* source = GetCurrentClockSourceDesc(client, begin, end);
    if (source != nullptr && (source < begin || source + source[0] > end)) {
        std::abort();
    }
    CanSetSampleRate(client, *descriptors);
    SetDeviceSampleRate(client, *descriptors, 48000);
    IsClockChangeMessage(client.Rest(), uint32_t(std::min<size_t>(client.RestSize(), 16)), descriptors);
    delete descriptors;
    return 0;
}
