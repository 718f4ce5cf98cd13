#pragma once

// Compares the flash with an image, in blocks of up to 64 bytes read as words; only the image's
// own bytes are compared. The first difference stops it.

#include "SAMBA.h"
#include "StateMachine.h"

#include <memory>
#include <span>

class VerifyFlash : public StateMachine
{
public:
    static constexpr size_t kBlockSize = 64;

    VerifyFlash(SAMBA& engine, std::span<const uint8_t> data);

    void Start() override;
    bool Callback(uint32_t count) override;
    bool GetResultStatus() const override { return fStatus; }
    int GetProgress() const override;

private:
    void ReadBlock();

    SAMBA& fEngine;
    const std::span<const uint8_t> fData;
    size_t fOffset = 0;
    size_t fBlockLength = 0;
    std::unique_ptr<StateMachine> fRead;
    bool fStatus = false;
};
