#include "WriteWord.h"

WriteWord::WriteWord(SAMBA& engine, uint32_t address, uint32_t value)
    : fEngine(engine), fText(SAMBA::WriteWordText(address, value))
{}

void WriteWord::Start()
{
    fEngine.Send(fText);
}

bool WriteWord::Callback(uint32_t count)
{
    fStatus = count == fText.size();
    return true;
}
