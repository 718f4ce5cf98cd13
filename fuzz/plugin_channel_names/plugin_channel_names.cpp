// The driver's channel-name answer and channel counts through the name pass: every name is read
// within its field, and a pass either takes every name or refuses.

#include "ChannelNames.h"
#include "Log.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    const unsigned inChannels = data[0];
    const unsigned outChannels = data[1];
    KorvanDeviceIO::ChannelNamesResponse response;
    std::memset(&response, 0, sizeof(response));
    std::memcpy(&response, data + 2, std::min(size - 2, sizeof(response)));
    ChannelNames names;
    if (ParseChannelNames(response, inChannels, outChannels, names)) {
        const std::size_t in = std::min<std::size_t>(inChannels, KorvanDeviceIO::kMaxDMAChannels);
        const std::size_t out = std::min<std::size_t>(outChannels, KorvanDeviceIO::kMaxDMAChannels);
        if (names.fInFull.size() != in || names.fInCategory.size() != in || names.fInNumber.size() != in ||
            names.fOutFull.size() != out || names.fOutCategory.size() != out ||
            names.fOutNumber.size() != out) {
            std::fprintf(stderr, "a pass that succeeded left names out\n");
            std::abort();
        }
        for (const std::string& name : names.fInFull) {
            if (name.size() > KorvanDeviceIO::kNameFieldBytes) {
                std::abort();
            }
        }
    }
    return 0;
}
