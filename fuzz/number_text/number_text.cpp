// The number, code and hexadecimal-data parsers and parameter strings on arbitrary text.

#include "UString/ParamUString.h"
#include "UString/UStringUtil.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void parseEverything(const UString& text, uint8_t selector)
{
    UStringToNum(text, 0);
    UStringToNum(text, 1);
    UStringToDouble(text);
    UString rest;
    // Base 0 or 2 to 36.
    const int base = selector % 36 == 0 ? 0 : selector % 36 + 1;
    StrToL(text, &rest, base);
    StrToL(text, nullptr, 0);
    StrToD(text, &rest);
    FindNumberInString(text);
    UStringToOSType(text);
    // Exactly the size handed over, so that a write past it is caught.
    std::vector<unsigned char> raw(selector % 40);
    UStringToRawData(text, raw.data(), static_cast<unsigned int>(raw.size()));
}

void expand(const UString& format)
{
    const std::vector<UString> parameters = {UString("zero", UString::k8Bit), UString("%1", UString::k8Bit),
                                             UString()};
    try {
        ParamUString().MakeParamString(format, parameters);
    } catch (const std::out_of_range&) {
    }
}

void roundTrip(long value)
{
    require(UStringToNum(NumToUString(value, 1), 1) == value);
    if (value >= 0) {
        require(UStringToNum(NumToUString(value, 0), 0) == value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const uint8_t selector = data[0];
    UTF16String units((size - 1) / 2, 0);
    std::memcpy(units.data(), data + 1, units.size() * 2);
    const UString wide(units);
    const UString narrow(reinterpret_cast<const char*>(data + 1), size - 1, UString::k8Bit);

    parseEverything(wide, selector);
    parseEverything(narrow, selector);
    expand(wide);
    expand(narrow);

    long value = 0;
    std::memcpy(&value, data, std::min(size, sizeof value));
    roundTrip(value);
    return 0;
}
