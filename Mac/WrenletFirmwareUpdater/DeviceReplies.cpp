#include "DeviceReplies.h"

#include <algorithm>
#include <cctype>

namespace DeviceReplies {

namespace {

constexpr uint8_t kStringDescriptor = 3;
constexpr size_t kVersionLength = 16;

} // namespace

std::string SerialFromDescriptor(const uint8_t* bytes, size_t returned)
{
    if (returned < 2 || bytes[1] != kStringDescriptor || bytes[0] < 2) {
        return {};
    }
    const size_t units = (std::min<size_t>(bytes[0], returned) - 2) / 2;
    std::string serial;
    for (size_t i = 0; i < units; ++i) {
        serial.push_back(char(std::toupper(bytes[2 + 2 * i])));
    }
    return serial;
}

std::string VersionText(const uint8_t* reply, size_t transferred)
{
    const size_t length = std::min(transferred, kVersionLength);
    const uint8_t* end = std::find(reply, reply + length, 0);
    return std::string(reply, end);
}

} // namespace DeviceReplies
