// Random byte streams, cut into random pieces, into the simulated boot loader: it never writes
// outside its memories, its state stays one the chip can be in, and a power cycle leaves the
// boot decision to the boot rule.

#include <Wrenlet/FirmwareImage.h>
#include <Wrenlet/SambaBootLoader.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace {

void check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Wrenlet::ChipState chip;
    int resets = 0;
    Wrenlet::SambaBootLoader loader(chip, [&] { ++resets; });
    // The first byte of each piece gives its length (0 to 63).
    for (size_t at = 0; at < size;) {
        const size_t length = std::min<size_t>(data[at] % 64, size - at - 1);
        loader.receive(std::span(data + at + 1, length));
        uint8_t answer[64];
        while (loader.takeAnswer(answer) != 0) {
        }
        at += 1 + length;
    }
    check(chip.flash.size() == Wrenlet::kFlashSize);
    check(chip.userSignature.size() == Wrenlet::kUserSignatureSize);
    check(loader.pendingAnswer() == 0);
    loader.powerOff();
    check(!loader.flashController().busy());
    check(!loader.flashController().signatureMode());
    // The boot rule: the boot loader without the flag, otherwise run mode only over a valid image.
    const bool runs = chip.bootFromFlash() && Wrenlet::FirmwareImage::validVersion(chip.flash).has_value();
    const bool bricked = chip.bootFromFlash() && !runs;
    check(!(runs && bricked));
    return 0;
}
