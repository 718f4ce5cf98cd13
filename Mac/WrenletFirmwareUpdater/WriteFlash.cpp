#include "WriteFlash.h"

#include "FlashImage.h"
#include "RunFlashCommand.h"

#include <algorithm>

WriteFlash::WriteFlash(SAMBA& engine, std::span<const uint8_t> data) : fEngine(engine), fData(data) {}

void WriteFlash::Start()
{
    fOffset = 0;
    SendPage();
}

void WriteFlash::SendPage()
{
    fPageLength = std::min<size_t>(SAMBA::kPageSize, fData.size() - fOffset);
    fPageText.clear();
    for (size_t at = fOffset; at < fOffset + fPageLength; at += 4) {
        fPageText += SAMBA::WriteWordText(SAMBA::kFlashBase + uint32_t(at), FlashImage::Word(fData, at));
    }
    fWritePage.reset();
    fEngine.Send(fPageText);
}

bool WriteFlash::Callback(uint32_t count)
{
    if (!fWritePage) {
        if (count != fPageText.size()) {
            return true;
        }
        if (fData.empty()) {
            fStatus = true;
            return true;
        }
        fWritePage = std::make_unique<RunFlashCommand>(fEngine, SAMBA::kWritePage, uint16_t(fOffset >> 9), 1);
        fWritePage->Start();
        return false;
    }
    if (!fWritePage->Callback(count)) {
        return false;
    }
    if (!fWritePage->GetResultStatus()) {
        return true;
    }
    fOffset += fPageLength;
    if (fOffset == fData.size()) {
        fStatus = true;
        return true;
    }
    SendPage();
    return false;
}

int WriteFlash::GetProgress() const
{
    return FlashImage::Progress(fStatus ? fData.size() : fOffset, fData.size());
}
