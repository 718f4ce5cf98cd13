// utf8_to_utf16 and utf16_to_utf8 on arbitrary input, against ICU's well-formedness; Mac OS Roman
// round trips.

#include "UString/UtfConvert.h"
#include "UString/UtfConvertMac.h"

#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool isEncodedSurrogate(const uint8_t* data, size_t i, size_t size)
{
    return data[i] == 0xED && size - i >= 3 && data[i + 1] >= 0xA0 && data[i + 1] <= 0xBF &&
           data[i + 2] >= 0x80 && data[i + 2] <= 0xBF;
}

// The longest prefix ICU's U8_NEXT reads as well-formed, going on over encoded surrogates, and its
// units.
size_t referencePrefix(const uint8_t* data, size_t size, UTF16String& units, bool& sawSurrogate)
{
    size_t i = 0;
    while (i < size) {
        if (isEncodedSurrogate(data, i, size)) {
            units.push_back(static_cast<unsigned short>(((data[i] & 0x0F) << 12) |
                                                        ((data[i + 1] & 0x3F) << 6) | (data[i + 2] & 0x3F)));
            sawSurrogate = true;
            i += 3;
            continue;
        }
        size_t next = i;
        UChar32 c;
        U8_NEXT(data, next, size, c);
        if (c < 0) {
            break;
        }
        UChar pair[2];
        size_t length = 0;
        U16_APPEND_UNSAFE(pair, length, c);
        units.append(pair, pair + length);
        i = next;
    }
    return i;
}

void checkUtf8(const uint8_t* data, size_t size)
{
    UTF16String units;
    const unsigned long consumed = utf8_to_utf16(data, size, units);
    require(consumed <= size);

    UTF16String again;
    require(utf8_to_utf16(data, consumed, again) == consumed && again == units);

    UTF16String expected;
    bool sawSurrogate = false;
    require(referencePrefix(data, size, expected, sawSurrogate) == consumed && expected == units);

    if (!sawSurrogate) {
        std::string bytes;
        require(utf16_to_utf8(units.data(), units.size(), bytes) == units.size());
        require(bytes.size() == consumed && std::memcmp(bytes.data(), data, consumed) == 0);
    }
}

// The units before the first unpaired surrogate.
size_t pairedPrefix(const UTF16String& units)
{
    size_t i = 0;
    while (i < units.size()) {
        if (U16_IS_LEAD(units[i]) && i + 1 < units.size() && U16_IS_TRAIL(units[i + 1])) {
            i += 2;
        } else if (U16_IS_SURROGATE(units[i])) {
            break;
        } else {
            ++i;
        }
    }
    return i;
}

void checkUtf16(const uint8_t* data, size_t size)
{
    UTF16String units(size / 2, 0);
    std::memcpy(units.data(), data, units.size() * 2);
    std::string bytes;
    const unsigned long consumed = utf16_to_utf8(units.data(), units.size(), bytes);
    require(consumed == pairedPrefix(units));

    std::string icu(4 * consumed + 1, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(icu.data(), static_cast<int32_t>(icu.size()), &length,
                reinterpret_cast<const UChar*>(units.data()), static_cast<int32_t>(consumed), &status);
    require(U_SUCCESS(status));
    icu.resize(static_cast<size_t>(length));
    require(bytes == icu);
}

void checkMacRoman(const uint8_t* data, size_t size)
{
    UTF16String units;
    const unsigned long doubled = MacRoman_to_utf16(data, size, units);
    const size_t text = strnlen(reinterpret_cast<const char*>(data), size);
    require(doubled == 2 * text && units.size() == text);
    std::string bytes;
    require(utf16_to_MacRoman(units.data(), units.size(), bytes) == text);
    require(bytes == std::string(reinterpret_cast<const char*>(data), text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkUtf8(data, size);
    checkUtf16(data, size);
    checkMacRoman(data, size);
    return 0;
}
