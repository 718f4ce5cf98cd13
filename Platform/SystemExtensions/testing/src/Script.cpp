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
    SystemExtensions::Scripts::shared().set(std::move(steps));
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
