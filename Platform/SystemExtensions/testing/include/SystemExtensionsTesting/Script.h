#pragma once

// What the system answers to the requests submitted while a Script exists: its steps, delivered in
// order on the request's queue, each in its own turn. A failure or a finish ends the request; only
// checkpoints (the test's own code between steps) run after that. A replacement answered Cancel is
// followed by the request-cancelled failure. Without a Script, a request needs approval and then
// completes, as when a user approves it. A Script going forgets its submissions, and its steps still
// queued do nothing.

#include <SystemExtensions/SystemExtensions.h>
#include <SystemExtensions/platform/Script.h>

#include <functional>
#include <string>
#include <vector>

namespace SystemExtensionsTesting {

using Step = SystemExtensionsPlatform::Step;

Step needsApproval();
Step finish(OS::SystemExtensionRequestResult result);
Step fail(long errorCode, std::string description);
// An installed extension of `existingVersion` is to be replaced by `newVersion` (bundle versions).
Step replace(std::string existingVersion, std::string newVersion);
Step checkpoint(std::function<void()> check);

struct Submission
{
    std::string identifier;
    dispatch_queue_t queue;
};

class Script
{
public:
    explicit Script(std::vector<Step> steps);
    ~Script();
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

    std::vector<Submission> submissions() const;
};

} // namespace SystemExtensionsTesting
