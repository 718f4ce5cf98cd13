#include "UString.h"

#include "UtfConvert.h"
#include "UtfConvertMac.h"

#include <cstring>
#include <cwchar>
#include <stdexcept>

const UString UString::kEmptyString;

namespace {

// 8-bit text in an encoding, as units.
UTF16String decode(const unsigned char* bytes, std::size_t n, UString::ByteEncoding encoding)
{
    UTF16String units;
    switch (encoding) {
    case UString::kUTF8:
        utf8_to_utf16(bytes, n, units);
        break;
    case UString::kMacRoman:
        MacRoman_to_utf16(bytes, n, units);
        break;
    default:
        units.assign(bytes, bytes + n);
        break;
    }
    return units;
}

const unsigned char* bytesOf(const char* text)
{
    return reinterpret_cast<const unsigned char*>(text);
}

UTF16String fromWide(const wchar_t* text, std::size_t n)
{
    UTF16String units;
    units.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        AppendUtf32CharToUtf16(units, static_cast<unsigned int>(text[i]));
    }
    return units;
}

UTF16String fromUtf32(const UTF32String& text)
{
    UTF16String units;
    utf32_to_utf16(text.data(), text.size(), units);
    return units;
}

} // namespace

UString::FormattedStreamProxy::FormattedStreamProxy(UString& target)
    : fStream(std::make_unique<std::ostringstream>()), fTarget(&target)
{}

UString::FormattedStreamProxy::FormattedStreamProxy(FormattedStreamProxy&& other) noexcept
    : fStream(std::move(other.fStream)), fTarget(other.fTarget)
{}

UString::FormattedStreamProxy::~FormattedStreamProxy()
{
    if (fStream) {
        fTarget->append(fStream->str(), k8Bit);
    }
}

UString::UString(const UString& other, size_type pos, size_type n) : fUnits(other.fUnits, pos, n) {}

UString& UString::assign(const UString& other)
{
    fUnits.assign(other.fUnits);
    return *this;
}

UString& UString::assign(const UString& other, size_type pos, size_type n)
{
    fUnits.assign(other.fUnits, pos, n);
    return *this;
}

UString& UString::assign(const Units& units)
{
    fUnits.assign(units);
    return *this;
}

UString& UString::assign(const value_type* units)
{
    fUnits.assign(units);
    return *this;
}

UString& UString::assign(const value_type* units, size_type n)
{
    fUnits.assign(units, n);
    return *this;
}

UString& UString::assign(const UTF32String& text)
{
    fUnits = fromUtf32(text);
    return *this;
}

UString& UString::assign(const std::wstring& text)
{
    fUnits = fromWide(text.data(), text.size());
    return *this;
}

UString& UString::assign(const wchar_t* text)
{
    fUnits = fromWide(text, std::wcslen(text));
    return *this;
}

UString& UString::assign(const std::string& text, ByteEncoding encoding)
{
    fUnits = decode(bytesOf(text.data()), text.size(), encoding);
    return *this;
}

UString& UString::assign(const char* text, ByteEncoding encoding)
{
    fUnits = decode(bytesOf(text), std::strlen(text), encoding);
    return *this;
}

UString& UString::assign(const char* text, size_type n, ByteEncoding encoding)
{
    fUnits = decode(bytesOf(text), n, encoding);
    return *this;
}

UString& UString::assign(const unsigned char* text, size_type n, ByteEncoding encoding)
{
    fUnits = decode(text, n, encoding);
    return *this;
}

UString& UString::assign(value_type unit)
{
    fUnits.assign(1, unit);
    return *this;
}

UString& UString::assign(char c)
{
    fUnits.assign(1, unitOf(c));
    return *this;
}

UString& UString::append(const UString& other)
{
    fUnits.append(other.fUnits);
    return *this;
}

UString& UString::append(const Units& units)
{
    fUnits.append(units);
    return *this;
}

UString& UString::append(const value_type* units)
{
    fUnits.append(units);
    return *this;
}

UString& UString::append(const value_type* units, size_type n)
{
    fUnits.append(units, n);
    return *this;
}

UString& UString::append(const UTF32String& text)
{
    fUnits.append(fromUtf32(text));
    return *this;
}

UString& UString::append(const std::wstring& text)
{
    fUnits.append(fromWide(text.data(), text.size()));
    return *this;
}

UString& UString::append(const wchar_t* text)
{
    fUnits.append(fromWide(text, std::wcslen(text)));
    return *this;
}

UString& UString::append(const std::string& text, ByteEncoding encoding)
{
    fUnits.append(decode(bytesOf(text.data()), text.size(), encoding));
    return *this;
}

UString& UString::append(const char* text, ByteEncoding encoding)
{
    fUnits.append(decode(bytesOf(text), std::strlen(text), encoding));
    return *this;
}

UString& UString::append(const char* text, size_type n, ByteEncoding encoding)
{
    fUnits.append(decode(bytesOf(text), n, encoding));
    return *this;
}

UString& UString::append(const unsigned char* text, size_type n, ByteEncoding encoding)
{
    fUnits.append(decode(text, n, encoding));
    return *this;
}

UString& UString::append(value_type unit)
{
    fUnits.push_back(unit);
    return *this;
}

UString& UString::append(unsigned int codePoint)
{
    AppendUtf32CharToUtf16(fUnits, codePoint);
    return *this;
}

UString& UString::append(char c)
{
    fUnits.push_back(unitOf(c));
    return *this;
}

UString& UString::insert(size_type pos, const UString& other)
{
    fUnits.insert(pos, other.fUnits);
    return *this;
}

UString& UString::insert(size_type pos, const UString& other, size_type subpos, size_type n)
{
    fUnits.insert(pos, other.fUnits, subpos, n);
    return *this;
}

UString& UString::insert(size_type pos, const value_type* units, size_type n)
{
    fUnits.insert(pos, units, n);
    return *this;
}

UString& UString::insert(size_type pos, const value_type* units)
{
    fUnits.insert(pos, units);
    return *this;
}

UString& UString::insert(size_type pos, size_type count, value_type unit)
{
    fUnits.insert(pos, count, unit);
    return *this;
}

UString& UString::insert(size_type pos, size_type count, char c)
{
    fUnits.insert(pos, count, unitOf(c));
    return *this;
}

UString::iterator UString::insert(const_iterator at, value_type unit)
{
    return fUnits.insert(at, unit);
}

UString::iterator UString::insert(const_iterator at, char c)
{
    return fUnits.insert(at, unitOf(c));
}

UString::iterator UString::insert(const_iterator at, size_type count, value_type unit)
{
    return fUnits.insert(at, count, unit);
}

UString::iterator UString::insert(const_iterator at, size_type count, char c)
{
    return fUnits.insert(at, count, unitOf(c));
}

UString& UString::replace(size_type pos, size_type n, const UString& other)
{
    fUnits.replace(pos, n, other.fUnits);
    return *this;
}

UString& UString::erase(size_type pos, size_type n)
{
    fUnits.erase(pos, n);
    return *this;
}

UString::iterator UString::erase(const_iterator at)
{
    if (at == fUnits.cend()) {
        return fUnits.end();
    }
    return fUnits.erase(at);
}

UString::iterator UString::erase(const_iterator first, const_iterator last)
{
    return fUnits.erase(first, last);
}

void UString::pop_back()
{
    if (fUnits.empty()) {
        throw std::out_of_range("UString::pop_back on an empty string");
    }
    fUnits.pop_back();
}

UString::Units UString::widen(const std::string& bytes)
{
    return Units(bytesOf(bytes.data()), bytesOf(bytes.data()) + bytes.size());
}

std::string UString::string(ByteEncoding encoding, char replacement, bool) const
{
    std::string bytes;
    switch (encoding) {
    case kUTF8:
        utf16_to_utf8(fUnits.data(), fUnits.size(), bytes);
        break;
    case kMacRoman:
        utf16_to_MacRoman(fUnits.data(), fUnits.size(), bytes);
        break;
    default:
        bytes.reserve(fUnits.size());
        for (value_type unit : fUnits) {
            bytes.push_back(unit < 0x80 ? static_cast<char>(unit) : replacement);
        }
        break;
    }
    return bytes;
}

std::string UString::utf8_str() const
{
    return string(kUTF8, '?', false);
}

UTF32String UString::utf32_str() const
{
    UTF32String text;
    utf16_to_utf32(fUnits.data(), fUnits.size(), text);
    return text;
}

std::wstring UString::wstring() const
{
    const UTF32String text = utf32_str();
    return std::wstring(text.begin(), text.end());
}
