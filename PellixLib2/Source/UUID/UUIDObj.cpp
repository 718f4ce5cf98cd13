#include "UUIDObj.h"

#include <string>

namespace Pellix {

namespace {

constexpr std::size_t kShortestText = 32;
constexpr std::size_t kLongestText = 64;

int hexDigitValue(unsigned short u)
{
    if (u >= '0' && u <= '9') {
        return u - '0';
    }
    if (u >= 'a' && u <= 'f') {
        return u - 'a' + 10;
    }
    if (u >= 'A' && u <= 'F') {
        return u - 'A' + 10;
    }
    return -1;
}

} // namespace

constinit const UUIDObj UUIDObj::kClear;
constinit const UUIDObj UUIDObj::kOutOfBounds(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF);

UUIDObj::UUIDObj(const UString& text)
{
    SetFromUString(text);
}

bool UUIDObj::SetFromUString(const UString& text)
{
    const std::size_t length = text.length();
    if (length < kShortestText || length > kLongestText) {
        return false;
    }
    std::size_t i = 0;
    for (auto& byte : fBytes) {
        while (i < length && hexDigitValue(text[i]) < 0) {
            ++i;
        }
        if (i + 1 >= length || hexDigitValue(text[i + 1]) < 0) {
            fBytes = {};
            return false;
        }
        byte = static_cast<unsigned char>((hexDigitValue(text[i]) << 4) | hexDigitValue(text[i + 1]));
        i += 2;
    }
    return true;
}

UString UUIDObj::GetUString() const
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : fBytes) {
        if (!text.empty()) {
            text += '-';
        }
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return UString(text, UString::k8Bit);
}

} // namespace Pellix
