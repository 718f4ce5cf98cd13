#pragma once

// Writes an image at the flash base, page by page: one text of "W%08X,%08X#" commands per page of
// up to 512 bytes, then WP with the page number of the page's start.

#include "SAMBA.h"
#include "StateMachine.h"

#include <memory>
#include <span>
#include <string>

class WriteFlash : public StateMachine
{
public:
    WriteFlash(SAMBA& engine, std::span<const uint8_t> data);

    void Start() override;
    bool Callback(uint32_t count) override;
    bool GetResultStatus() const override { return fStatus; }
    int GetProgress() const override;

private:
    void SendPage();

    SAMBA& fEngine;
    const std::span<const uint8_t> fData;
    size_t fOffset = 0;
    size_t fPageLength = 0;
    std::string fPageText;
    std::unique_ptr<StateMachine> fWritePage;
    bool fStatus = false;
};
