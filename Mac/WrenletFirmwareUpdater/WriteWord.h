#pragma once

// Writes one 32-bit word: succeeds when all of "W%08X,%08X#" was sent.

#include "SAMBA.h"
#include "StateMachine.h"

#include <string>

class WriteWord : public StateMachine
{
public:
    WriteWord(SAMBA& engine, uint32_t address, uint32_t value);

    void Start() override;
    bool Callback(uint32_t count) override;
    bool GetResultStatus() const override { return fStatus; }

private:
    SAMBA& fEngine;
    const std::string fText;
    bool fStatus = false;
};
