#pragma once

// Runs one flash-controller command: writes 0x5A000000 | argument << 8 | command to EEFC_FCR, then
// polls EEFC_FSR until its ready bit equals the awaited value. Any poll showing a command, lock or
// flash error fails it (those bits clear on read, so every poll counts), and so does a poll that
// has not seen the ready value 10 s after the command was written (120 s for an erase). A short
// transfer at any step ends it unfinished.

#include "SAMBA.h"
#include "StateMachine.h"

#include <cstdint>
#include <string>

class RunFlashCommand : public StateMachine
{
public:
    static constexpr uint64_t kPollLimitNs = 10'000'000'000;
    static constexpr uint64_t kErasePollLimitNs = 120'000'000'000;
    static constexpr uint32_t kReadyBit = 1u << 0;
    static constexpr uint32_t kErrorBits = 0x0E;

    RunFlashCommand(SAMBA& engine, uint8_t command, uint16_t argument, uint32_t ready);

    void Start() override;
    bool Callback(uint32_t count) override;
    bool GetResultStatus() const override { return fStatus; }

private:
    enum class Step
    {
        Write,
        SendPoll,
        ReadStatus,
    };

    void Poll();

    SAMBA& fEngine;
    const uint8_t fCommand;
    const std::string fWriteText;
    const std::string fPollText;
    const uint32_t fReady;
    Step fStep = Step::Write;
    uint64_t fDeadline = 0;
    uint32_t fSeenErrors = 0;
    bool fStatus = false;
};
