// Notification records of any bytes and size as the driver client's mach-port callout receives
// them: the length handed on stays within the bytes received and the record's payload area, and
// the device's interrupt-status decision reads only what was handed on. The first input byte
// chooses the device's saved descriptors (none, or one variant of the interface's); the rest is the
// received message.

#include "Log.h"
#include "UACInterruptStatus.h"
#include "USBServiceClient.h"

#include <KorvanInterface/Variants.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kPayloadOffset = 36;
constexpr size_t kPayloadBytes = 4096;

struct Delivery
{
    const uint8_t* fReceived;
    size_t fReceivedSize;
    const KorvanDeviceIO::USBDescriptors* fDescriptors;
};

// The saved descriptors of each variant of the interface, made once.
const std::vector<KorvanDeviceIO::USBDescriptors>& SavedDescriptors()
{
    static const auto* const sSaved = [] {
        auto* saved = new std::vector<KorvanDeviceIO::USBDescriptors>;
        for (const KorvanInterface::VariantInfo& info : KorvanInterface::variants()) {
            const auto options =
                KorvanInterface::variantOptions(KorvanInterface::Model::Wrenlet, 0x2B3C, info.variant);
            const auto bytes = KorvanInterface::buildDescriptors(options).configuration;
            KorvanDeviceIO::USBDescriptors descriptors{};
            descriptors.fLength = uint32_t(std::min(bytes.size(), sizeof(descriptors.fData)));
            std::memcpy(descriptors.fData, bytes.data(), descriptors.fLength);
            saved->push_back(descriptors);
        }
        return saved;
    }();
    return *sSaved;
}

void Check(void* user, UInt32, const UInt8* data, UInt32 length)
{
    const auto* delivery = static_cast<const Delivery*>(user);
    const bool inside = data >= delivery->fReceived + kPayloadOffset &&
                        data + length <= delivery->fReceived + delivery->fReceivedSize &&
                        length <= kPayloadBytes;
    if (!inside) {
        std::fprintf(stderr, "length %u handed on from %zu bytes\n", length, delivery->fReceivedSize);
        std::abort();
    }
    // Read every byte handed on, so the address sanitizer sees an overread.
    volatile UInt8 sum = 0;
    for (UInt32 index = 0; index < length; ++index) {
        sum = UInt8(sum + data[index]);
    }
    IsClockChangeMessage(data, length, delivery->fDescriptors);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Log::SetLevel(Log::None);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const auto& saved = SavedDescriptors();
    const std::size_t choice = data[0] % (saved.size() + 1);
    // A copy of exactly the received size, so reading past it is caught.
    std::vector<uint8_t> received(data + 1, data + size);
    Delivery delivery = {received.data(), received.size(), choice == 0 ? nullptr : &saved[choice - 1]};
    USBServiceClient checking(KorvanService(), 'IOIO', &delivery, Check);
    USBServiceClient::UserClientCallBackProc(nullptr, received.empty() ? nullptr : received.data(),
                                             CFIndex(received.size()), &checking);
    return 0;
}
