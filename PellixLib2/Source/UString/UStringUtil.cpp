#include "UStringUtil.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

constexpr unsigned short kLastASCII = 0x7F;

// The text handed to the system library's number parsers: units above 127 as `replacement`.
std::string parserText(const UString& s, char replacement)
{
    return s.string(UString::k8Bit, replacement, false);
}

// The value of a hexadecimal digit in the unit's low 8 bits, or -1.
int hexDigitValue(unsigned short u)
{
    const unsigned char b = static_cast<unsigned char>(u);
    if (b >= '0' && b <= '9') {
        return b - '0';
    }
    if (b >= 'a' && b <= 'f') {
        return b - 'a' + 10;
    }
    if (b >= 'A' && b <= 'F') {
        return b - 'A' + 10;
    }
    return -1;
}

} // namespace

bool IsASCII(unsigned short u)
{
    return u <= kLastASCII;
}

unsigned short ToLower(unsigned short u)
{
    return u >= 'A' && u <= 'Z' ? static_cast<unsigned short>(u + ('a' - 'A')) : u;
}

unsigned short ToUpper(unsigned short u)
{
    return IsLower(u) ? static_cast<unsigned short>(u - ('a' - 'A')) : u;
}

bool IsLower(unsigned short u)
{
    return u >= 'a' && u <= 'z';
}

bool IsSpace(unsigned short u)
{
    return u == ' ' || (u >= '\t' && u <= '\r');
}

bool IsDigit(unsigned short u)
{
    return u >= '0' && u <= '9';
}

bool IsXDigit(unsigned short u)
{
    return IsDigit(u) || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

void ToUpper(UString& s)
{
    for (auto& unit : s) {
        unit = ToUpper(unit);
    }
}

bool IsNumeric(const UString& s)
{
    return std::all_of(s.begin(), s.end(), [](unsigned short u) { return IsDigit(u); });
}

bool IsStringWhitespace(const UString& s)
{
    return std::all_of(s.begin(), s.end(), [](unsigned short u) { return IsSpace(u); });
}

UString OSTypeToUString(unsigned int code)
{
    char bytes[4];
    std::size_t n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char byte = static_cast<char>((code >> shift) & 0xFF);
        if (byte == 0) {
            break;
        }
        bytes[n++] = byte;
    }
    return UString(bytes, n, UString::k8Bit);
}

unsigned int UStringToOSType(const UString& s)
{
    unsigned int code = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const unsigned int byte = i < s.length() ? s[i] & 0xFF : 0;
        code = (code << 8) | byte;
    }
    return code;
}

UString NumToUString(long n, NumFormat format)
{
    UString text;
    {
        UString::FormattedStreamProxy proxy(text);
        proxy.stream() << (format == 0 ? std::hex : std::dec) << n;
    }
    return text;
}

long UStringToNum(const UString& s, NumFormat format)
{
    std::istringstream in(parserText(s, ' '));
    long value = 0;
    in >> (format == 0 ? std::hex : std::dec) >> value;
    return value;
}

UString DoubleToUString(double d)
{
    UString text;
    {
        UString::FormattedStreamProxy proxy(text);
        proxy.stream() << d;
    }
    return text;
}

UString DoubleToUStringPrecise(double d)
{
    const int decimals = std::isfinite(d) && d != std::trunc(d) ? 6 : 0;
    // Sized first: the whole text of the largest doubles runs to over 300 characters.
    const int length = std::snprintf(nullptr, 0, "%.*f", decimals, d);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, "%.*f", decimals, d);
    return UString(text, UString::k8Bit);
}

double UStringToDouble(const UString& s)
{
    return std::strtod(parserText(s, 'x').c_str(), nullptr);
}

int32_t FindNumberInString(const UString& s)
{
    const auto first = std::find_if(s.begin(), s.end(), IsDigit);
    const auto last = std::find_if_not(first, s.end(), IsDigit);
    if (first == last) {
        return 0;
    }
    const UString digits(s, static_cast<std::size_t>(first - s.begin()),
                         static_cast<std::size_t>(last - first));
    return static_cast<int32_t>(static_cast<uint32_t>(UStringToNum(digits, 1)));
}

long StrToL(const UString& s, UString* rest, int base)
{
    const std::string text = parserText(s, ' ');
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, base);
    if (rest) {
        rest->assign(end, static_cast<std::size_t>(text.data() + text.size() - end), UString::k8Bit);
    }
    return value;
}

double StrToD(const UString& s, UString* rest)
{
    const std::string text = parserText(s, ' ');
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (rest) {
        rest->assign(end, static_cast<std::size_t>(text.data() + text.size() - end), UString::k8Bit);
    }
    return value;
}

void UStringToRawData(const UString& s, unsigned char* out, unsigned int size)
{
    std::size_t i = 0;
    const auto nextDigit = [&]() {
        while (i < s.length()) {
            const int value = hexDigitValue(s[i++]);
            if (value >= 0) {
                return value;
            }
        }
        return -1;
    };
    for (unsigned int written = 0; written < size; ++written) {
        const int high = nextDigit();
        const int low = high < 0 ? -1 : nextDigit();
        if (low < 0) {
            return;
        }
        out[written] = static_cast<unsigned char>((high << 4) | low);
    }
}
