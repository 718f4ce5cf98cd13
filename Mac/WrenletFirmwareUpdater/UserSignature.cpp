#include "UserSignature.h"

#include <cstdio>
#include <cstring>

namespace UserSignature {

namespace {

constexpr const char* kTags[] = {"VORKANRW", "VORKBNRW", "VORKCNRW"};
constexpr size_t kTagLength = 8;
constexpr size_t kUIDOffset = 11;
constexpr size_t kUIDLength = 3;

} // namespace

std::optional<Tag> Find(std::span<const uint8_t> signature)
{
    const size_t length = std::min(signature.size(), kLength);
    for (size_t offset = 0; offset + kUIDOffset + kUIDLength <= length; ++offset) {
        const uint8_t* at = signature.data() + offset;
        for (const char* tag : kTags) {
            if (std::memcmp(at, tag, kTagLength) != 0) {
                continue;
            }
            char serial[16];
            snprintf(serial, sizeof serial, "%c%c%c%c%02X%02X%02X", at[7], at[6], at[5], at[4],
                     at[kUIDOffset], at[kUIDOffset + 1], at[kUIDOffset + 2]);
            char uid[8];
            snprintf(uid, sizeof uid, "%02X%02X%02X", at[kUIDOffset], at[kUIDOffset + 1], at[kUIDOffset + 2]);
            return Tag{serial, uid};
        }
    }
    return std::nullopt;
}

bool SerialEndsWith(const std::string& serial, const std::string& uid)
{
    return serial.size() >= kSerialTail && uid.size() == kSerialTail &&
           serial.compare(serial.size() - kSerialTail, kSerialTail, uid) == 0;
}

} // namespace UserSignature
