#pragma once

// The microcontroller's enhanced embedded flash controller as the boot loader reaches it through
// memory writes: the command register with its key, the status register whose error bits clear on
// read, the page latch that word writes into flash fill, and the user-signature read mode.
//
// A command stays busy for a settable number of status reads and takes effect on the read that
// shows it ready again, or, for a client that does not poll, once its time on the Platform clock
// has passed. A power loss while it is busy damages what it was touching.

#include <Wrenlet/ChipState.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace Wrenlet {

class FlashController
{
public:
    static constexpr uint32_t kRegisterBase = 0x400E0C00;
    static constexpr uint32_t kModeRegister = kRegisterBase + 0x0;    // EEFC_FMR
    static constexpr uint32_t kCommandRegister = kRegisterBase + 0x4; // EEFC_FCR
    static constexpr uint32_t kStatusRegister = kRegisterBase + 0x8;  // EEFC_FSR
    static constexpr uint32_t kResultRegister = kRegisterBase + 0xC;  // EEFC_FRR
    static constexpr uint32_t kKey = 0x5A;

    enum Command : uint8_t
    {
        GETD = 0,
        WP = 1,
        WPL = 2,
        EWP = 3,
        EWPL = 4,
        EA = 5,
        SLB = 8,
        CLB = 9,
        GLB = 10,
        SGPB = 11,
        CGPB = 12,
        GGPB = 13,
        STUS = 20,
        SPUS = 21,
    };

    enum StatusBit : uint32_t
    {
        FRDY = 1u << 0,
        FCMDE = 1u << 1,
        FLOCKE = 1u << 2,
        FLERR = 1u << 3,
    };

    struct LogEntry
    {
        uint8_t command = 0;
        uint16_t argument = 0;
        // "accepted", "done", "command error", "lock error", "forced error" or "interrupted"
        std::string outcome;
    };

    struct Timing
    {
        unsigned busyReads = 2;
        unsigned eraseBusyReads = 8;
        uint64_t busyNs = 1'000'000;
        uint64_t eraseBusyNs = 10'000'000;
    };

    // A command that ends with an error bit instead of its effect.
    struct ForcedError
    {
        uint8_t command = 0;
        uint32_t bit = FLERR;
    };

    explicit FlashController(ChipState& chip);

    void setTiming(const Timing& timing) { fTiming = timing; }
    void forceError(std::optional<ForcedError> error) { fForcedError = error; }
    // FRDY never comes back after any command.
    void setNeverReady(bool never) { fNeverReady = never; }
    void seedDamage(uint32_t seed) { fRandom.seed(seed); }
    // Called with (command, afterEffect) as a command is written and as it takes effect.
    void setCommandObserver(std::function<void(uint8_t, bool)> observer) { fObserver = std::move(observer); }

    uint32_t readRegister(uint32_t address);
    void writeRegister(uint32_t address, uint32_t value);

    // Flash reads: the user signature while the signature mode is on.
    uint8_t readFlashByte(uint32_t offset) const;
    // Bytes written into flash go to the page latch; programming ANDs it into the page.
    void latchByte(uint32_t offset, uint8_t value);

    // Completes a command whose time has passed; the boot loader calls it before every command.
    void settle();

    bool busy() const { return fPending.has_value(); }
    bool signatureMode() const { return fSignatureMode; }

    // Power loss: the volatile state goes, and a command in progress damages what it was touching.
    void powerOff();

    const std::vector<LogEntry>& log() const { return fLog; }

private:
    struct Pending
    {
        uint8_t command = 0;
        uint16_t argument = 0;
        unsigned readsLeft = 0;
        uint64_t doneAt = 0;
    };

    void start(uint8_t command, uint16_t argument);
    void complete(const Pending& pending);
    void apply(uint8_t command, uint16_t argument);
    void programPage(uint16_t page);
    void damage(const Pending& pending);
    bool knownCommand(uint8_t command) const;
    void note(uint8_t command, uint16_t argument, const char* outcome);

    ChipState& fChip;
    Timing fTiming;
    std::optional<ForcedError> fForcedError;
    bool fNeverReady = false;
    std::function<void(uint8_t, bool)> fObserver;
    std::mt19937 fRandom{1};

    std::vector<uint8_t> fLatch = std::vector<uint8_t>(kPageSize, 0xFF);
    std::optional<Pending> fPending;
    uint32_t fStatus = FRDY;
    uint32_t fResult = 0;
    uint32_t fMode = 0;
    bool fSignatureMode = false;
    std::vector<LogEntry> fLog;
};

} // namespace Wrenlet
