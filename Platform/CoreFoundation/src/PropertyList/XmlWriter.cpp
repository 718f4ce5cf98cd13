#include "PropertyList/XmlWriter.h"

#include "PropertyList/IsoDate.h"
#include "PropertyList/Limits.h"
#include <CFPlatform/Base64.h>

#include <CFPlatform/String.h>
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFNumber.h>
#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>
#include <vector>

namespace CFPlatform {

namespace {

constexpr const char* kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
constexpr const char* kFooter = "</plist>\n";

// XML 1.0 carries no control character but tab, line feed and carriage return, and neither
// U+FFFE nor U+FFFF (UTF-8 EF BF BE and EF BF BF).
bool isXmlText(const std::string& utf8)
{
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') {
            return false;
        }
        if (byte == 0xEF && i + 2 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(utf8[i + 2]) & 0xFE) == 0xBE) {
            return false;
        }
    }
    return true;
}

std::string formatReal(double value)
{
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char text[32];
    auto result = std::to_chars(text, text + sizeof(text), value);
    return std::string(text, result.ptr);
}

class XmlWriter
{
public:
    bool write(CFTypeRef value, int depth);
    std::string& output() { return fOutput; }
    const std::string& problem() const { return fProblem; }

private:
    bool writeDictionary(CFDictionaryRef dictionary, int depth);
    bool writeArray(CFArrayRef array, int depth);
    bool writeNumber(CFNumberRef number, int depth);
    bool writeText(const char* element, CFStringRef string, int depth);
    void writeLine(int depth, std::string_view line);

    bool fail(std::string problem)
    {
        fProblem = std::move(problem);
        return false;
    }

    std::string fOutput;
    std::string fProblem;
};

void XmlWriter::writeLine(int depth, std::string_view line)
{
    fOutput.append(static_cast<size_t>(depth), '\t');
    fOutput += line;
    fOutput += '\n';
}

bool XmlWriter::write(CFTypeRef value, int depth)
{
    if (depth > kMaxPropertyListDepth) {
        return fail("the property list is nested too deeply");
    }
    if (!value) {
        return fail("a property list holds no NULL");
    }
    CFTypeID type = CFGetTypeID(value);
    if (type == CFDictionaryGetTypeID()) {
        return writeDictionary(static_cast<CFDictionaryRef>(value), depth);
    }
    if (type == CFArrayGetTypeID()) {
        return writeArray(static_cast<CFArrayRef>(value), depth);
    }
    if (type == CFStringGetTypeID()) {
        return writeText("string", static_cast<CFStringRef>(value), depth);
    }
    if (type == CFNumberGetTypeID()) {
        return writeNumber(static_cast<CFNumberRef>(value), depth);
    }
    if (type == CFBooleanGetTypeID()) {
        writeLine(depth, CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? "<true/>" : "<false/>");
        return true;
    }
    if (type == CFDataGetTypeID()) {
        auto data = static_cast<CFDataRef>(value);
        writeLine(depth,
                  "<data>" +
                      encodeBase64(CFDataGetBytePtr(data), static_cast<size_t>(CFDataGetLength(data))) +
                      "</data>");
        return true;
    }
    if (type == CFDateGetTypeID()) {
        std::optional<std::string> date = formatIsoDate(CFDateGetAbsoluteTime(static_cast<CFDateRef>(value)));
        if (!date) {
            return fail("a date lies outside the years 0000 to 9999");
        }
        writeLine(depth, "<date>" + *date + "</date>");
        return true;
    }
    return fail("a value is not a property-list type");
}

bool XmlWriter::writeDictionary(CFDictionaryRef dictionary, int depth)
{
    auto count = static_cast<size_t>(CFDictionaryGetCount(dictionary));
    if (count == 0) {
        writeLine(depth, "<dict/>");
        return true;
    }
    std::vector<const void*> keys(count);
    std::vector<const void*> values(count);
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    std::vector<std::string> keyTexts(count);
    for (size_t i = 0; i < count; ++i) {
        if (!keys[i] || CFGetTypeID(keys[i]) != CFStringGetTypeID()) {
            return fail("a dictionary key is not a string");
        }
        std::optional<std::string> text = utf8Of(static_cast<CFStringRef>(keys[i]));
        if (!text) {
            return fail("a dictionary key has no UTF-8 form");
        }
        keyTexts[i] = std::move(*text);
    }
    // Byte order of UTF-8 is code-point order.
    std::vector<size_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keyTexts[a] < keyTexts[b]; });

    writeLine(depth, "<dict>");
    for (size_t i : order) {
        if (!writeText("key", static_cast<CFStringRef>(keys[i]), depth + 1) || !write(values[i], depth + 1)) {
            return false;
        }
    }
    writeLine(depth, "</dict>");
    return true;
}

bool XmlWriter::writeArray(CFArrayRef array, int depth)
{
    CFIndex count = CFArrayGetCount(array);
    if (count == 0) {
        writeLine(depth, "<array/>");
        return true;
    }
    writeLine(depth, "<array>");
    for (CFIndex i = 0; i < count; ++i) {
        if (!write(CFArrayGetValueAtIndex(array, i), depth + 1)) {
            return false;
        }
    }
    writeLine(depth, "</array>");
    return true;
}

bool XmlWriter::writeNumber(CFNumberRef number, int depth)
{
    if (CFNumberIsFloatType(number)) {
        double value = 0;
        CFNumberGetValue(number, kCFNumberFloat64Type, &value);
        writeLine(depth, "<real>" + formatReal(value) + "</real>");
    } else {
        int64_t value = 0;
        CFNumberGetValue(number, kCFNumberSInt64Type, &value);
        writeLine(depth, "<integer>" + std::to_string(value) + "</integer>");
    }
    return true;
}

bool XmlWriter::writeText(const char* element, CFStringRef string, int depth)
{
    std::optional<std::string> text = utf8Of(string);
    if (!text) {
        return fail("a string has no UTF-8 form");
    }
    if (!isXmlText(*text)) {
        return fail("a string holds a character XML cannot carry");
    }
    std::string line = std::string("<") + element + ">";
    for (char c : *text) {
        switch (c) {
        case '&':
            line += "&amp;";
            break;
        case '<':
            line += "&lt;";
            break;
        case '>':
            line += "&gt;";
            break;
        case '\r':
            // A raw carriage return would be read back as a line feed.
            line += "&#13;";
            break;
        default:
            line += c;
        }
    }
    line += std::string("</") + element + ">";
    writeLine(depth, line);
    return true;
}

} // namespace

std::optional<std::string> writeXmlPropertyList(CFPropertyListRef plist, std::string& problem)
{
    XmlWriter writer;
    writer.output() = kHeader;
    if (!writer.write(plist, 0)) {
        problem = writer.problem();
        return std::nullopt;
    }
    writer.output() += kFooter;
    return std::move(writer.output());
}

} // namespace CFPlatform
