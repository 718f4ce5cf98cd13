// Notification records of any bytes and size as the driver client's mach-port callout receives
// them: the length handed on stays within the bytes received and the record's payload area.

#include "Log.h"
#include "USBServiceClient.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr size_t kPayloadOffset = 36;
constexpr size_t kPayloadBytes = 4096;

struct Delivery
{
    const uint8_t* fReceived;
    size_t fReceivedSize;
};

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
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Log::SetLevel(Log::None);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of exactly the received size, so reading past it is caught.
    std::vector<uint8_t> received(data, data + size);
    Delivery delivery = {received.data(), received.size()};
    USBServiceClient checking(KorvanService(), 'IOIO', &delivery, Check);
    USBServiceClient::UserClientCallBackProc(nullptr, received.empty() ? nullptr : received.data(),
                                             CFIndex(received.size()), &checking);
    return 0;
}
