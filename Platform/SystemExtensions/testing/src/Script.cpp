#include <SystemExtensionsTesting/Script.h>

#include "Script.h"

namespace SystemExtensionsTesting {

Step needsApproval()
{
    return Step{Step::Kind::NeedsApproval};
}

Step finish(OS::SystemExtensionRequestResult result)
{
    Step step{Step::Kind::Finish};
    step.result = result;
    return step;
}

Step fail(long errorCode, std::string description)
{
    Step step{Step::Kind::Fail};
    step.errorCode = errorCode;
    step.description = std::move(description);
    return step;
}

Step replace(std::string existingVersion, std::string newVersion)
{
    Step step{Step::Kind::Replace};
    step.existingVersion = std::move(existingVersion);
    step.newVersion = std::move(newVersion);
    return step;
}

Step checkpoint(std::function<void()> check)
{
    Step step{Step::Kind::Checkpoint};
    step.checkpoint = std::move(check);
    return step;
}

Script::Script(std::vector<Step> steps)
{
    std::vector<SystemExtensions::Step> internal;
    for (Step& step : steps) {
        internal.push_back({SystemExtensions::Step::Kind(int(step.kind)), step.result, step.errorCode,
                            std::move(step.description), std::move(step.existingVersion),
                            std::move(step.newVersion), std::move(step.checkpoint)});
    }
    SystemExtensions::Scripts::shared().set(std::move(internal));
}

Script::~Script()
{
    SystemExtensions::Scripts::shared().reset();
}

std::vector<Submission> Script::submissions() const
{
    std::vector<Submission> result;
    for (const SystemExtensions::Submission& submission : SystemExtensions::Scripts::shared().submissions()) {
        result.push_back({submission.identifier, submission.queue});
    }
    return result;
}

} // namespace SystemExtensionsTesting
