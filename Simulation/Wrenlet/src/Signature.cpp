#include <Wrenlet/Signature.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace Wrenlet {

namespace {

constexpr size_t kTagLength = 8;
constexpr size_t kUIDOffset = 11;
constexpr size_t kReadLength = 16;

} // namespace

std::vector<uint8_t> makeSignature(std::optional<char> model, size_t offset, UID uid)
{
    std::vector<uint8_t> signature(512, 0xFF);
    if (!model || offset + kUIDOffset + uid.size() > signature.size())
        return signature;
    const char tag[kTagLength + 1] = {'V', 'O', 'R', 'K', *model, 'N', 'R', 'W', 0};
    std::memcpy(signature.data() + offset, tag, kTagLength);
    std::copy(uid.begin(), uid.end(), signature.begin() + long(offset + kUIDOffset));
    return signature;
}

std::string serialFromSignature(const std::vector<uint8_t>& signature)
{
    for (size_t offset = 0; offset + kUIDOffset + 3 <= std::min(kReadLength, signature.size()); ++offset) {
        const uint8_t* tag = signature.data() + offset;
        const char model = char(tag[4]);
        if (std::memcmp(tag, "VORK", 4) != 0 || std::memcmp(tag + 5, "NRW", 3) != 0 ||
            (model != 'A' && model != 'B' && model != 'C'))
            continue;
        char serial[16];
        snprintf(serial, sizeof serial, "%c%c%c%c%02X%02X%02X", tag[7], tag[6], tag[5], tag[4],
                 tag[kUIDOffset], tag[kUIDOffset + 1], tag[kUIDOffset + 2]);
        return serial;
    }
    return {};
}

} // namespace Wrenlet
