#include "String/SingleByteCodec.h"

#include <CFPlatform/Object.h>

#include <algorithm>
#include <string>
#include <unicode/ucnv.h>

namespace CFPlatform {

SingleByteCodec::SingleByteCodec(const char* icuName)
{
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(icuName, &status);
    if (U_FAILURE(status)) {
        fatal("CFString", (std::string("ICU has no converter ") + icuName).c_str());
    }
    ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    for (int byte = 0; byte < 256; ++byte) {
        char input = static_cast<char>(byte);
        UChar output[2];
        status = U_ZERO_ERROR;
        ucnv_reset(converter);
        int32_t length = ucnv_toUChars(converter, output, 2, &input, 1, &status);
        bool mapped = U_SUCCESS(status) && length == 1 && output[0] != kUnmapped;
        fToUnicode[byte] = mapped ? output[0] : kUnmapped;
        if (mapped && output[0] >= 0x80) {
            fFromUnicode.emplace_back(output[0], static_cast<uint8_t>(byte));
        }
    }
    ucnv_close(converter);
    std::sort(fFromUnicode.begin(), fFromUnicode.end());
}

const SingleByteCodec* SingleByteCodec::forEncoding(CFStringEncoding encoding)
{
    switch (encoding) {
    case kCFStringEncodingMacRoman: {
        static const SingleByteCodec* sMacRoman = new SingleByteCodec("macintosh");
        return sMacRoman;
    }
    case kCFStringEncodingISOLatin1: {
        static const SingleByteCodec* sLatin1 = new SingleByteCodec("ISO-8859-1");
        return sLatin1;
    }
    case kCFStringEncodingASCII: {
        static const SingleByteCodec* sASCII = new SingleByteCodec("US-ASCII");
        return sASCII;
    }
    default:
        return nullptr;
    }
}

std::optional<char16_t> SingleByteCodec::decode(uint8_t byte) const
{
    char16_t unit = fToUnicode[byte];
    return unit == kUnmapped ? std::nullopt : std::optional<char16_t>(unit);
}

std::optional<uint8_t> SingleByteCodec::encode(char32_t codePoint) const
{
    if (codePoint < 0x80) {
        if (fToUnicode[codePoint] == codePoint) {
            return static_cast<uint8_t>(codePoint);
        }
        return std::nullopt;
    }
    if (codePoint > 0xFFFF) {
        return std::nullopt;
    }
    auto unit = static_cast<char16_t>(codePoint);
    auto found = std::lower_bound(fFromUnicode.begin(), fFromUnicode.end(), std::make_pair(unit, uint8_t{0}));
    if (found == fFromUnicode.end() || found->first != unit) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace CFPlatform
