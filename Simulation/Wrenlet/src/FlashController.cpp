#include <Wrenlet/FlashController.h>

#include <Darwin/Clock.h>

#include <algorithm>

namespace Wrenlet {

FlashController::FlashController(ChipState& chip) : fChip(chip) {}

uint32_t FlashController::readRegister(uint32_t address)
{
    switch (address) {
    case kModeRegister:
        return fMode;
    case kStatusRegister: {
        if (fPending && !fNeverReady) {
            if (fPending->readsLeft > 0) {
                --fPending->readsLeft;
            } else {
                const Pending pending = *fPending;
                fPending.reset();
                complete(pending);
            }
        }
        const uint32_t value = fStatus;
        fStatus &= ~(FCMDE | FLOCKE | FLERR);
        return value;
    }
    case kResultRegister:
        return fResult;
    default:
        return 0;
    }
}

void FlashController::writeRegister(uint32_t address, uint32_t value)
{
    if (address == kModeRegister) {
        fMode = value;
        return;
    }
    if (address != kCommandRegister)
        return;
    const uint8_t command = uint8_t(value & 0xFF);
    const uint16_t argument = uint16_t((value >> 8) & 0xFFFF);
    if ((value >> 24) != kKey || !knownCommand(command) || fPending) {
        fStatus |= FCMDE;
        note(command, argument, "command error");
        return;
    }
    start(command, argument);
}

void FlashController::start(uint8_t command, uint16_t argument)
{
    if (fObserver)
        fObserver(command, false);
    const bool pageCommand = command == WP || command == WPL || command == EWP || command == EWPL;
    if (pageCommand &&
        (argument >= kPageCount || fChip.lockBits.test(argument * kPageSize / kLockRegionSize))) {
        fStatus |= FLOCKE;
        note(command, argument, "lock error");
        return;
    }
    note(command, argument, "accepted");
    fStatus &= ~FRDY;
    if (command == STUS) {
        // Signature reads last until SPUS; the controller reports busy all that time.
        fSignatureMode = true;
        if (fObserver)
            fObserver(command, true);
        return;
    }
    const unsigned reads = command == EA ? fTiming.eraseBusyReads : fTiming.busyReads;
    const uint64_t time = command == EA ? fTiming.eraseBusyNs : fTiming.busyNs;
    fPending = Pending{command, argument, reads, DarwinClock::addSaturating(DarwinClock::hostNow(), time)};
}

void FlashController::settle()
{
    if (fPending && !fNeverReady && DarwinClock::hostNow() >= fPending->doneAt) {
        const Pending pending = *fPending;
        fPending.reset();
        complete(pending);
    }
}

void FlashController::complete(const Pending& pending)
{
    if (fForcedError && fForcedError->command == pending.command) {
        fStatus |= fForcedError->bit | FRDY;
        note(pending.command, pending.argument, "forced error");
        return;
    }
    apply(pending.command, pending.argument);
    fStatus |= FRDY;
    note(pending.command, pending.argument, "done");
    if (fObserver)
        fObserver(pending.command, true);
}

void FlashController::apply(uint8_t command, uint16_t argument)
{
    switch (command) {
    case GETD:
        fResult = uint32_t(kFlashSize);
        break;
    case WP:
    case WPL:
        programPage(argument);
        break;
    case EWP:
    case EWPL:
        std::fill_n(fChip.flash.begin() + argument * kPageSize, kPageSize, 0xFF);
        programPage(argument);
        break;
    case EA:
        std::fill(fChip.flash.begin(), fChip.flash.end(), 0xFF);
        break;
    case SLB:
    case CLB: {
        fChip.lockBits.set((argument * kPageSize / kLockRegionSize) % kLockRegionCount, command == SLB);
        break;
    }
    case GLB:
        fResult = uint32_t((fChip.lockBits & std::bitset<kLockRegionCount>(0xFFFFFFFFu)).to_ulong());
        break;
    case SGPB:
    case CGPB:
        if (argument < 32)
            fChip.gpnvm = command == SGPB ? fChip.gpnvm | (1u << argument) : fChip.gpnvm & ~(1u << argument);
        break;
    case GGPB:
        fResult = fChip.gpnvm;
        break;
    case SPUS:
        fSignatureMode = false;
        break;
    default:
        break;
    }
}

void FlashController::programPage(uint16_t page)
{
    auto target = fChip.flash.begin() + page * kPageSize;
    for (size_t i = 0; i < kPageSize; ++i)
        target[i] &= fLatch[i];
    std::fill(fLatch.begin(), fLatch.end(), 0xFF);
}

uint8_t FlashController::readFlashByte(uint32_t offset) const
{
    if (fSignatureMode)
        return fChip.userSignature[offset % kUserSignatureSize];
    return offset < kFlashSize ? fChip.flash[offset] : 0xFF;
}

void FlashController::latchByte(uint32_t offset, uint8_t value)
{
    fLatch[offset % kPageSize] = value;
}

void FlashController::damage(const Pending& pending)
{
    switch (pending.command) {
    case WP:
    case WPL:
    case EWP:
    case EWPL: {
        // A torn write: the words before the cut took the latch, the rest kept their old content.
        const size_t words = kPageSize / 4;
        const size_t cut = std::uniform_int_distribution<size_t>(1, words - 1)(fRandom);
        auto target = fChip.flash.begin() + pending.argument * kPageSize;
        if (pending.command == EWP || pending.command == EWPL)
            std::fill(target + cut * 4, target + kPageSize, 0xFF);
        for (size_t i = 0; i < cut * 4; ++i)
            target[i] &= fLatch[i];
        break;
    }
    case EA: {
        // An erase cut short: the pages from the start up to an undefined point are erased.
        const size_t pages = std::uniform_int_distribution<size_t>(1, kPageCount - 1)(fRandom);
        std::fill_n(fChip.flash.begin(), pages * kPageSize, 0xFF);
        break;
    }
    case SGPB:
    case CGPB:
        // Atomic: either state may be the one that stays.
        if (std::uniform_int_distribution<int>(0, 1)(fRandom))
            apply(pending.command, pending.argument);
        break;
    default:
        break;
    }
}

void FlashController::powerOff()
{
    if (fPending) {
        damage(*fPending);
        note(fPending->command, fPending->argument, "interrupted");
        fPending.reset();
    }
    std::fill(fLatch.begin(), fLatch.end(), 0xFF);
    fSignatureMode = false;
    fStatus = FRDY;
    fResult = 0;
    fMode = 0;
}

bool FlashController::knownCommand(uint8_t command) const
{
    switch (command) {
    case GETD:
    case WP:
    case WPL:
    case EWP:
    case EWPL:
    case EA:
    case SLB:
    case CLB:
    case GLB:
    case SGPB:
    case CGPB:
    case GGPB:
    case STUS:
    case SPUS:
        return true;
    default:
        return false;
    }
}

void FlashController::note(uint8_t command, uint16_t argument, const char* outcome)
{
    fLog.push_back(LogEntry{command, argument, outcome});
}

} // namespace Wrenlet
