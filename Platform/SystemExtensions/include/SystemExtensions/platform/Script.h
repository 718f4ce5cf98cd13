#pragma once

// One step of what the system does with a submitted activation request, as the framework's test
// seam scripts it. The system's own code never includes this header.

#include <SystemExtensions/SystemExtensions.h>

#include <functional>
#include <string>

namespace SystemExtensionsPlatform {

struct Step
{
    enum class Kind
    {
        NeedsApproval,
        Finish,
        Fail,
        Replace,
        Checkpoint,
    };

    Kind kind;
    OS::SystemExtensionRequestResult result = OS::SystemExtensionRequestResult::Completed;
    long errorCode = 0;
    std::string description{};
    std::string existingVersion{};
    std::string newVersion{};
    std::function<void()> checkpoint{};
};

} // namespace SystemExtensionsPlatform
