#include "ReadWordArray.h"

ReadWordArray::ReadWordArray(SAMBA& engine, uint32_t address, uint32_t count) : fEngine(engine), fWords(count)
{
    for (uint32_t i = 0; i < count; ++i) {
        fText += SAMBA::ReadWordText(address + 4 * i);
    }
}

void ReadWordArray::Start()
{
    fEngine.Send(fText);
}

bool ReadWordArray::Callback(uint32_t count)
{
    if (!fSent) {
        if (count != fText.size()) {
            return true;
        }
        fSent = true;
        fEngine.Receive(4 * fWords);
        return false;
    }
    fStatus = count == 4 * fWords;
    if (fStatus) {
        const auto received = fEngine.Received();
        fResult.assign(received.begin(), received.end());
    }
    return true;
}
