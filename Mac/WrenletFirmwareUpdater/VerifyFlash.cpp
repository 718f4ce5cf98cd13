#include "VerifyFlash.h"

#include "FlashImage.h"
#include "ReadWordArray.h"

#include <algorithm>

VerifyFlash::VerifyFlash(SAMBA& engine, std::span<const uint8_t> data) : fEngine(engine), fData(data) {}

void VerifyFlash::Start()
{
    fOffset = 0;
    if (fData.empty()) {
        // Nothing to read; the engine still reports on the run loop.
        fEngine.Send(std::span<const uint8_t>());
        return;
    }
    ReadBlock();
}

void VerifyFlash::ReadBlock()
{
    fBlockLength = std::min(kBlockSize, fData.size() - fOffset);
    fRead = std::make_unique<ReadWordArray>(fEngine, SAMBA::kFlashBase + uint32_t(fOffset),
                                            uint32_t((fBlockLength + 3) / 4));
    fRead->Start();
}

bool VerifyFlash::Callback(uint32_t count)
{
    if (fData.empty()) {
        fStatus = true;
        return true;
    }
    if (!fRead->Callback(count)) {
        return false;
    }
    if (!fRead->GetResultStatus()) {
        return true;
    }
    const std::vector<uint8_t> flash = fRead->GetResult();
    if (!std::equal(flash.begin(), flash.begin() + long(fBlockLength), fData.begin() + long(fOffset))) {
        return true;
    }
    fOffset += fBlockLength;
    if (fOffset == fData.size()) {
        fStatus = true;
        return true;
    }
    ReadBlock();
    return false;
}

int VerifyFlash::GetProgress() const
{
    return FlashImage::Progress(fStatus ? fData.size() : fOffset, fData.size());
}
