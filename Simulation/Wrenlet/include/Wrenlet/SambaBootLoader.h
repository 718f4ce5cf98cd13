#pragma once

// The microcontroller's ROM boot loader behind its CDC data interface: the SAM-BA text protocol on
// the byte stream (a command may straddle pieces and a piece may carry several), over the chip's
// memory map: flash with its controller, SRAM, the reset controller and the identification
// registers. Not thread-safe: the unit calls it under its own lock.

#include <Wrenlet/ChipState.h>
#include <Wrenlet/FlashController.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace Wrenlet {

class SambaBootLoader
{
public:
    static constexpr uint32_t kSramBase = 0x20400000;
    static constexpr size_t kSramSize = 384 * 1024;
    static constexpr uint32_t kResetControlRegister = 0x400E1800; // RSTC_CR
    static constexpr uint32_t kResetKey = 0xA5;
    static constexpr uint32_t kChipIdRegister = 0x400E0740;          // CHIPID_CIDR
    static constexpr uint32_t kChipIdExtensionRegister = 0x400E0744; // CHIPID_EXID
    static constexpr uint32_t kChipId = 0xA1020E00;
    static constexpr uint32_t kChipIdExtension = 0x00000002;
    static constexpr uint32_t kCpuIdRegister = 0xE000ED00;
    static constexpr uint32_t kCpuId = 0x411FC271;
    static constexpr uint32_t kInterruptControlRegister = 0xE000ED0C; // AIRCR
    static constexpr size_t kLongestCommand = 32;
    static constexpr size_t kLongestRawTransfer = kSramSize;

    // `reset` is called when the host asks for a reset; the unit reboots after it returns.
    SambaBootLoader(ChipState& chip, std::function<void()> reset);

    // Bytes from the host (bulk OUT).
    void receive(std::span<const uint8_t> bytes);
    // Moves up to `space.size()` answer bytes (bulk IN) into `space`; returns how many.
    size_t takeAnswer(std::span<uint8_t> space);
    size_t pendingAnswer() const { return fAnswer.size(); }

    // Power loss: the parser, the answers and the controller's volatile state are gone.
    void powerOff();

    FlashController& flashController() { return fFlash; }
    const FlashController& flashController() const { return fFlash; }
    // Every command as the host sent it, "W400E0C04,5A00010C#" say.
    const std::vector<std::string>& commandLog() const { return fCommands; }
    // The routines run with "G", as "copy N words from S to D".
    const std::vector<std::string>& routineLog() const { return fRoutines; }
    const std::vector<std::string>& protocolErrors() const { return fErrors; }

private:
    enum class Mode
    {
        Command,
        SkipToEnd,
        Data,
    };

    void execute(const std::string& text);
    // "G": the word-copy routine a client uploaded, carried out by its effect.
    void go(uint32_t address);
    void fail(const std::string& what);
    void answerBytes(std::span<const uint8_t> bytes);
    void answerText(const char* text);
    void answerLittleEndian(uint32_t value, size_t length);

    uint8_t readByte(uint32_t address);
    uint32_t readWord(uint32_t address);
    void writeByte(uint32_t address, uint8_t value);
    void writeWord(uint32_t address, uint32_t value);
    bool inFlash(uint32_t address) const
    {
        return address >= kFlashBase && address - kFlashBase < kFlashSize;
    }
    bool inSram(uint32_t address) const { return address >= kSramBase && address - kSramBase < kSramSize; }

    FlashController fFlash;
    std::function<void()> fReset;
    std::vector<uint8_t> fSram = std::vector<uint8_t>(kSramSize, 0);

    Mode fMode = Mode::Command;
    std::string fText;
    uint32_t fDataAddress = 0;
    size_t fDataLeft = 0;
    // The blocks a client sent with "S" (the latest few): where a routine it starts would lie.
    static constexpr size_t kUploadsKept = 16;
    std::deque<std::pair<uint32_t, size_t>> fUploads;
    std::deque<uint8_t> fAnswer;

    std::vector<std::string> fCommands;
    std::vector<std::string> fErrors;
    std::vector<std::string> fRoutines;
};

} // namespace Wrenlet
