// Property-list documents from outside: whatever parses is written back, parses again to an equal
// object and writes the same bytes again.

#include <CoreFoundation/CoreFoundation.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "cf_property_list: %s\n", what);
    std::abort();
}

CFPropertyListRef parse(CFDataRef data)
{
    return CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable, nullptr, nullptr);
}

CFDataRef write(CFPropertyListRef plist)
{
    return CFPropertyListCreateData(nullptr, plist, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    CFDataRef input = CFDataCreate(nullptr, bytes, static_cast<CFIndex>(size));
    CFPropertyListRef plist = parse(input);
    CFRelease(input);
    if (!plist) {
        return 0;
    }
    CFDataRef written = write(plist);
    if (!written) {
        fail("a parsed property list cannot be written");
    }
    CFPropertyListRef reparsed = parse(written);
    if (!reparsed) {
        fail("a written property list does not parse");
    }
    if (!CFEqual(plist, reparsed)) {
        fail("a written property list parses to another value");
    }
    CFDataRef rewritten = write(reparsed);
    if (!rewritten || CFDataGetLength(rewritten) != CFDataGetLength(written) ||
        std::memcmp(CFDataGetBytePtr(rewritten), CFDataGetBytePtr(written),
                    static_cast<size_t>(CFDataGetLength(written))) != 0) {
        fail("writing a property list twice gives different bytes");
    }
    CFRelease(rewritten);
    CFRelease(reparsed);
    CFRelease(written);
    CFRelease(plist);
    return 0;
}
