#pragma once

// The factory's tag in the first 16 bytes of the user signature ("VORKANRW", "VORKBNRW" or
// "VORKCNRW"), and what it names: the serial number ("%c%c%c%c%02X%02X%02X" of the tag's bytes
// 7, 6, 5, 4, 11, 12, 13) and the UID (its bytes 11 to 13). A tag counts only where its byte 13
// lies inside the 16 bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace UserSignature {

constexpr size_t kLength = 16;
// The UID's six hex digits, with which a serial number ends.
constexpr size_t kSerialTail = 6;

struct Tag
{
    std::string serial;
    std::string uid;
};

std::optional<Tag> Find(std::span<const uint8_t> signature);

// Whether the serial's last six characters are `uid`; serials shorter than six never match.
bool SerialEndsWith(const std::string& serial, const std::string& uid);

} // namespace UserSignature
