#pragma once

// Reads n consecutive words: one text of n "w%08X,#" commands, then 4 x n answer bytes.

#include "SAMBA.h"
#include "StateMachine.h"

#include <string>

class ReadWordArray : public StateMachine
{
public:
    ReadWordArray(SAMBA& engine, uint32_t address, uint32_t count);

    void Start() override;
    bool Callback(uint32_t count) override;
    bool GetResultStatus() const override { return fStatus; }
    std::vector<uint8_t> GetResult() const override { return fResult; }

private:
    SAMBA& fEngine;
    const uint32_t fWords;
    std::string fText;
    bool fSent = false;
    bool fStatus = false;
    std::vector<uint8_t> fResult;
};
