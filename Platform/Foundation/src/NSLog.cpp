#include <Foundation/NSLog.h>

#include <Darwin/Log.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string utf8(CFStringRef string)
{
    const CFIndex length = CFStringGetLength(string);
    const CFIndex capacity = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
    std::string text(size_t(capacity), '\0');
    if (!CFStringGetCString(string, text.data(), capacity, kCFStringEncodingUTF8)) {
        return {};
    }
    text.resize(std::strlen(text.c_str()));
    return text;
}

template <typename T>
std::string formatOne(const std::string& spec, T value)
{
    const int length = std::snprintf(nullptr, 0, spec.c_str(), value);
    if (length < 0) {
        return {};
    }
    std::string text(size_t(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), spec.c_str(), value);
    text.resize(size_t(length));
    return text;
}

std::string describe(CFTypeRef object)
{
    if (object == nullptr) {
        return "(null)";
    }
    if (CFGetTypeID(object) == CFStringGetTypeID()) {
        return utf8(static_cast<CFStringRef>(object));
    }
    if (CFGetTypeID(object) == CFNumberGetTypeID()) {
        double value = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(object), kCFNumberDoubleType, &value);
        return formatOne("%g", value);
    }
    if (CFGetTypeID(object) != CFErrorGetTypeID()) {
        return "<CFType " + std::to_string(CFGetTypeID(object)) + ">";
    }
    CFStringRef description = CFErrorCopyDescription(static_cast<CFErrorRef>(const_cast<void*>(object)));
    std::string text = utf8(description);
    CFRelease(description);
    return text;
}

// Appends one conversion `spec` (from '%' to its conversion character) with its argument.
void appendConversion(std::string& out, const std::string& spec, va_list& arguments)
{
    const char conversion = spec.back();
    const bool longLong = spec.find("ll") != std::string::npos || spec.find('j') != std::string::npos ||
                          spec.find('z') != std::string::npos;
    const bool isLong = !longLong && spec.find('l') != std::string::npos;
    switch (conversion) {
    case '@':
        out += describe(va_arg(arguments, CFTypeRef));
        break;
    case '%':
        out += '%';
        break;
    case 's':
        out += formatOne(spec, va_arg(arguments, const char*));
        break;
    case 'p':
        out += formatOne(spec, va_arg(arguments, void*));
        break;
    case 'c':
        out += formatOne(spec, va_arg(arguments, int));
        break;
    case 'f':
    case 'e':
    case 'g':
    case 'F':
    case 'E':
    case 'G':
        out += formatOne(spec, va_arg(arguments, double));
        break;
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (longLong) {
            out += formatOne(spec, va_arg(arguments, long long));
        } else if (isLong) {
            out += formatOne(spec, va_arg(arguments, long));
        } else {
            out += formatOne(spec, va_arg(arguments, int));
        }
        break;
    default:
        out += spec;
        break;
    }
}

} // namespace

void NSLog(NS::String format, ...)
{
    const std::string pattern = format != nullptr ? utf8(format) : std::string();
    std::string out;
    va_list arguments;
    va_start(arguments, format);
    for (size_t at = 0; at < pattern.size();) {
        if (pattern[at] != '%') {
            out += pattern[at++];
            continue;
        }
        const size_t end = pattern.find_first_of("@%sdiuxXocpfeEgGF", at + 1);
        if (end == std::string::npos) {
            out += pattern.substr(at);
            break;
        }
        appendConversion(out, pattern.substr(at, end - at + 1), arguments);
        at = end + 1;
    }
    va_end(arguments);
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    DarwinLog::writeNSLogLine(out.c_str());
}
