#include "SAMBACheckModel.h"

#include "ReadWordArray.h"
#include "RunFlashCommand.h"

namespace {

constexpr char kNormalMode[] = "N#";
constexpr uint32_t kNormalModeAnswer = 2;

} // namespace

SAMBACheckModel::SAMBACheckModel(SAMBA& engine) : fEngine(engine) {}

void SAMBACheckModel::Start()
{
    fStep = Step::SendNormalMode;
    fEngine.Send(kNormalMode);
}

void SAMBACheckModel::Begin(Step step, std::unique_ptr<StateMachine> command)
{
    fStep = step;
    fCommand = std::move(command);
    fCommand->Start();
}

bool SAMBACheckModel::Callback(uint32_t count)
{
    switch (fStep) {
    case Step::SendNormalMode:
        if (count != sizeof kNormalMode - 1) {
            return true;
        }
        fStep = Step::ReadNormalMode;
        fEngine.Receive(kNormalModeAnswerRoom);
        return false;
    case Step::ReadNormalMode:
        if (count != kNormalModeAnswer) {
            return true;
        }
        Begin(Step::StartSignature,
              std::make_unique<RunFlashCommand>(fEngine, SAMBA::kStartUserSignature, 0, 0));
        return false;
    case Step::StartSignature:
    case Step::ReadSignature:
    case Step::StopSignature:
        if (!fCommand->Callback(count)) {
            return false;
        }
        if (!fCommand->GetResultStatus()) {
            return true;
        }
        if (fStep == Step::StartSignature) {
            Begin(Step::ReadSignature,
                  std::make_unique<ReadWordArray>(fEngine, SAMBA::kFlashBase, kSignatureWords));
            return false;
        }
        if (fStep == Step::ReadSignature) {
            fResult = fCommand->GetResult();
            Begin(Step::StopSignature,
                  std::make_unique<RunFlashCommand>(fEngine, SAMBA::kStopUserSignature, 0, 1));
            return false;
        }
        fStatus = true;
        return true;
    }
    return true;
}
