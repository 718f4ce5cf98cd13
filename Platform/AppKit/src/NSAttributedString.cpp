#include <AppKit/NSAttributedString.h>

#include "TextMeasure.h"

#include <algorithm>
#include <cstring>

namespace NS {

namespace {

std::string utf8(String string)
{
    const CFIndex capacity =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string text(size_t(capacity), '\0');
    if (!CFStringGetCString(string, text.data(), capacity, kCFStringEncodingUTF8)) {
        return {};
    }
    text.resize(std::strlen(text.c_str()));
    return text;
}

String copyOrEmpty(String string)
{
    return string != nullptr ? static_cast<String>(CFRetain(string)) : CFSTR("");
}

} // namespace

AttributedString::AttributedString(String string, Font font)
    : fString(copyOrEmpty(string)), fFont(std::move(font)), fColors(size_t(CFStringGetLength(fString)))
{}

AttributedString::AttributedString(const AttributedString& other)
    : fString(static_cast<String>(CFRetain(other.fString))), fFont(other.fFont), fColors(other.fColors)
{}

AttributedString& AttributedString::operator=(const AttributedString& other)
{
    if (this != &other) {
        CFRetain(other.fString);
        CFRelease(fString);
        fString = other.fString;
        fFont = other.fFont;
        fColors = other.fColors;
    }
    return *this;
}

AttributedString::~AttributedString()
{
    CFRelease(fString);
}

long AttributedString::length() const
{
    return long(fColors.size());
}

void AttributedString::addForegroundColor(Color color, Range range)
{
    const long begin = std::clamp(range.location, 0L, length());
    const long end = std::clamp(range.location + range.length, begin, length());
    std::fill(fColors.begin() + begin, fColors.begin() + end, color);
}

std::optional<Color> AttributedString::foregroundColorAtIndex(long index) const
{
    return index >= 0 && index < length() ? fColors[size_t(index)] : std::nullopt;
}

Size AttributedString::size() const
{
    return AppKit::measureText(utf8(fString), fFont);
}

} // namespace NS
