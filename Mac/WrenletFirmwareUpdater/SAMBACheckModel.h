#pragma once

// Reads the 16-byte user signature: "N#" (exactly 2 bytes must answer, read into 16), STUS, four
// words at the flash base, SPUS. The status is that of SPUS once every step has succeeded.

#include "SAMBA.h"
#include "StateMachine.h"

#include <memory>

class SAMBACheckModel : public StateMachine
{
public:
    static constexpr uint32_t kSignatureWords = 4;
    static constexpr uint32_t kNormalModeAnswerRoom = 16;

    explicit SAMBACheckModel(SAMBA& engine);

    void Start() override;
    bool Callback(uint32_t count) override;
    bool GetResultStatus() const override { return fStatus; }
    std::vector<uint8_t> GetResult() const override { return fResult; }

private:
    enum class Step
    {
        SendNormalMode,
        ReadNormalMode,
        StartSignature,
        ReadSignature,
        StopSignature,
    };

    // Starts the next step's command.
    void Begin(Step step, std::unique_ptr<StateMachine> command);

    SAMBA& fEngine;
    Step fStep = Step::SendNormalMode;
    std::unique_ptr<StateMachine> fCommand;
    bool fStatus = false;
    std::vector<uint8_t> fResult;
};
