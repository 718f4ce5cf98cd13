// One simulated Wrenlet in its boot loader behind a pseudo terminal. It prints the terminal's path
// for a SAM-BA client, and on Ctrl-C a summary of the flash and the GPNVM bits.

#include <Wrenlet/FirmwareImage.h>
#include <Wrenlet/SambaPty.h>
#include <Wrenlet/Signature.h>
#include <Wrenlet/WrenletHardware.h>

#include <SimUSB/Bus.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gStop = 0;

void stop(int)
{
    gStop = 1;
}

} // namespace

int main()
{
    SimUSB::Bus bus;
    auto unit = Wrenlet::WrenletHardware::create(bus, 1, {});
    unit->setSignature(Wrenlet::makeSignature('A', 0, {0x0A, 0x1B, 0x2C}));
    unit->setBootFlag(false);
    unit->powerOn();
    auto pty = Wrenlet::SambaPty::open(unit);
    if (!pty) {
        fprintf(stderr, "tide-samba-pty: no pseudo terminal\n");
        return 1;
    }
    std::signal(SIGINT, stop);
    std::signal(SIGTERM, stop);
    printf("%s\n", pty->path().c_str());
    fflush(stdout);
    while (!gStop) {
        pause();
    }
    pty.reset();
    const Wrenlet::ChipState chip = unit->chip();
    const size_t used =
        size_t(std::count_if(chip.flash.begin(), chip.flash.end(), [](uint8_t b) { return b != 0xFF; }));
    size_t last = chip.flash.size();
    while (last > 0 && chip.flash[last - 1] == 0xFF) {
        --last;
    }
    const auto version = Wrenlet::FirmwareImage::validVersion(chip.flash);
    printf("flash: %zu bytes at 0x%06X, %zu not erased, programmed up to 0x%06zX, image %s\n",
           chip.flash.size(), Wrenlet::kFlashBase, used, Wrenlet::kFlashBase + last,
           version ? version->c_str() : "not valid");
    printf("GPNVM: 0x%X (boot from %s)\n", chip.gpnvm, chip.bootFromFlash() ? "flash" : "the boot loader");
    unit->powerOff();
    return 0;
}
