// UUIDObj::SetFromUString on arbitrary units.

#include "UUID/UUIDObj.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

const Pellix::UUIDObj kBefore(0xA5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    UTF16String units(size / 2, 0);
    std::memcpy(units.data(), data, units.size() * 2);
    const UString text(units);

    Pellix::UUIDObj value = kBefore;
    const bool parsed = value.SetFromUString(text);
    if (text.length() < 32 || text.length() > 64) {
        require(!parsed && value == kBefore);
    } else if (!parsed) {
        require(value == Pellix::UUIDObj::kClear);
    }
    if (parsed) {
        Pellix::UUIDObj back = kBefore;
        require(back.SetFromUString(value.GetUString()) && back == value);
    }
    return 0;
}
