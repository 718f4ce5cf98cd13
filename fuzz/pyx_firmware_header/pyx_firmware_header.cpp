// The start of a run image, 0 to 200 bytes, read as its version header. Below a whole header the
// version is all zeros; the text is always the three numbers, their separators and exactly 12
// build bytes; nothing past the input is read (the bytes are copied into a buffer of their own
// length, so the address sanitizer sees any read beyond).

#include <FirmwareVersion.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

void check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

bool isDecimal(const std::string& text)
{
    return !text.empty() && text.size() <= 10 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size = std::min<size_t>(size, 200);
    const auto image = std::make_unique<uint8_t[]>(size);
    std::memcpy(image.get(), data, size);
    const FirmwareVersion version = FirmwareVersion::fromImage({image.get(), size});
    if (size < 64) {
        check(version.major == 0 && version.minor == 0 && version.patch == 0);
        check(std::all_of(version.build.begin(), version.build.end(), [](char c) { return c == 0; }));
    } else {
        check(std::memcmp(version.build.data(), data + 24, 12) == 0);
    }
    const std::string text = version.toString();
    const size_t plus = text.find('+');
    check(plus != std::string::npos && text.size() == plus + 1 + 12);
    const std::string numbers = text.substr(0, plus);
    const size_t first = numbers.find('.');
    const size_t second = numbers.find('.', first + 1);
    check(first != std::string::npos && second != std::string::npos &&
          numbers.find('.', second + 1) == std::string::npos);
    check(isDecimal(numbers.substr(0, first)) && isDecimal(numbers.substr(first + 1, second - first - 1)) &&
          isDecimal(numbers.substr(second + 1)));
    check(std::stoull(numbers.substr(0, first)) == version.major);
    check(std::memcmp(text.data() + plus + 1, version.build.data(), 12) == 0);
    return 0;
}
