// Bytes from outside as the start of a run image (up to 200 of them), through the firmware version
// header and a file source's version: below 64 bytes the version is all zeros; otherwise the text is
// the three numbers read little-endian at 12, 16 and 20, three separators and exactly the 12 build
// bytes at 24. The bytes are handed over in a buffer of their own size, so that a read past them
// is caught.

#include <FirmwareVersion.h>
#include <UpdateSource.h>

#include <CoreFoundation/CFRunLoop.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kLargestInput = 200;

void fail(const char* what)
{
    std::fprintf(stderr, "pyx_firmware_header: %s\n", what);
    std::abort();
}

uint32_t littleEndian(const std::vector<uint8_t>& bytes, size_t at)
{
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

std::string expectedText(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < 64)
        return "0.0.0+" + std::string(12, '\0');
    return std::to_string(littleEndian(bytes, 12)) + "." + std::to_string(littleEndian(bytes, 16)) + "." +
           std::to_string(littleEndian(bytes, 20)) + "+" +
           std::string(reinterpret_cast<const char*>(bytes.data()) + 24, 12);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kLargestInput)
        return -1;
    const std::vector<uint8_t> bytes(data, data + size);
    const std::string expected = expectedText(bytes);
    const auto exact = std::make_unique<uint8_t[]>(size);
    std::copy(data, data + size, exact.get());
    if (FirmwareVersion::fromImage({exact.get(), size}).toString() != expected)
        fail("the header's text is not its fields");

    UpdateSource source(Pellix::FileSpecification(UString("/fuzz/input.update", UString::kUTF8)),
                        [&](const std::string&) {
                            return UpdateSource::FileRead{bytes.size(), bytes};
                        });
    bool answered = false;
    source.acquireVersionInfo([&](UpdateSource*, std::optional<AcquisitionError> error) {
        if (error)
            fail("a file that reads whole is not acquired");
        answered = true;
    });
    while (!answered)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.001, true);
    if (source.getVersionInfo() != expected)
        fail("the file source's version is not the header's");
    return 0;
}
