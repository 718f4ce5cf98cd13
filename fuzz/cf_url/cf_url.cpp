// URL strings from outside. The input is a base URL and a reference separated by the first line
// break (no line break: a reference without base). What parses resolves to an absolute URL whose
// string parses again to an equal URL; the reference's bytes taken as a file-system path give a URL
// that gives the same path back.

#include <CoreFoundation/CoreFoundation.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "cf_url: %s\n", what);
    std::abort();
}

// Every byte becomes a character, so non-ASCII input reaches the URL parser.
CFURLRef createURL(const std::string& text, CFURLRef base)
{
    CFStringRef string =
        CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingISOLatin1, false);
    CFURLRef url = CFURLCreateWithString(nullptr, string, base);
    CFRelease(string);
    return url;
}

void checkResolution(const std::string& baseText, const std::string& referenceText, bool hasBase)
{
    CFURLRef base = hasBase ? createURL(baseText, nullptr) : nullptr;
    CFURLRef reference = createURL(referenceText, base);
    if (reference) {
        CFURLRef absolute = CFURLCopyAbsoluteURL(reference);
        if (!absolute) {
            fail("a URL has no absolute URL");
        }
        CFURLRef reparsed = CFURLCreateWithString(nullptr, CFURLGetString(absolute), nullptr);
        if (!reparsed || !CFEqual(reparsed, absolute)) {
            fail("an absolute URL's string does not parse to an equal URL");
        }
        CFRelease(reparsed);
        CFRelease(absolute);
        CFRelease(reference);
    }
    if (base) {
        CFRelease(base);
    }
}

void checkFilePath(const std::string& path)
{
    if (path.empty() || path.find('\0') != std::string::npos) {
        return;
    }
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()), false);
    if (!url) {
        // Only a relative path can fail, when the working directory cannot be read.
        if (path[0] == '/') {
            fail("an absolute path gives no URL");
        }
        return;
    }
    std::string expected = path;
    while (expected.size() > 1 && expected.back() == '/') {
        expected.pop_back();
    }
    std::vector<UInt8> buffer(path.size() + 1);
    if (!CFURLGetFileSystemRepresentation(url, false, buffer.data(), static_cast<CFIndex>(buffer.size())) ||
        expected != reinterpret_cast<const char*>(buffer.data())) {
        fail("a path does not come back from its URL");
    }
    CFURLRef reparsed = CFURLCreateWithString(nullptr, CFURLGetString(url), CFURLGetBaseURL(url));
    if (!reparsed || !CFEqual(reparsed, url)) {
        fail("a file URL's string does not parse to an equal URL");
    }
    CFRelease(reparsed);
    CFRelease(url);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    std::string input(reinterpret_cast<const char*>(bytes), size);
    size_t lineBreak = input.find('\n');
    bool hasBase = lineBreak != std::string::npos;
    std::string base = hasBase ? input.substr(0, lineBreak) : std::string();
    std::string reference = hasBase ? input.substr(lineBreak + 1) : input;
    checkResolution(base, reference, hasBase);
    checkFilePath(reference);
    return 0;
}
