#include "RunFlashCommand.h"

#include "HostTime.h"

#include <mach/mach_time.h>

RunFlashCommand::RunFlashCommand(SAMBA& engine, uint8_t command, uint16_t argument, uint32_t ready)
    : fEngine(engine), fCommand(command),
      fWriteText(SAMBA::WriteWordText(SAMBA::kFlashCommandRegister,
                                      SAMBA::kFlashKey << 24 | uint32_t(argument) << 8 | command)),
      fPollText(SAMBA::ReadWordText(SAMBA::kFlashStatusRegister)), fReady(ready)
{}

void RunFlashCommand::Start()
{
    fStep = Step::Write;
    fEngine.Send(fWriteText);
}

void RunFlashCommand::Poll()
{
    fStep = Step::SendPoll;
    fEngine.Send(fPollText);
}

bool RunFlashCommand::Callback(uint32_t count)
{
    switch (fStep) {
    case Step::Write:
        if (count != fWriteText.size()) {
            return true;
        }
        fDeadline =
            vork::HostTime::DeadlineAfter(fCommand == SAMBA::kEraseAll ? kErasePollLimitNs : kPollLimitNs);
        Poll();
        return false;
    case Step::SendPoll:
        if (count != fPollText.size()) {
            return true;
        }
        fStep = Step::ReadStatus;
        fEngine.Receive(4);
        return false;
    case Step::ReadStatus: {
        if (count != 4) {
            return true;
        }
        const auto bytes = fEngine.Received();
        const uint32_t status = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                                uint32_t(bytes[3]) << 24;
        fSeenErrors |= status & kErrorBits;
        if (fSeenErrors != 0) {
            return true;
        }
        if ((status & kReadyBit) == fReady) {
            fStatus = true;
            return true;
        }
        if (mach_absolute_time() >= fDeadline) {
            return true;
        }
        Poll();
        return false;
    }
    }
    return true;
}
