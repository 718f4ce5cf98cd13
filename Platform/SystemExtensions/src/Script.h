#pragma once

// What the system does with a submitted request: a script of steps, each delivered on the request's
// queue in its own turn. Without a script from a test, the request needs the user's approval, which
// the user gives: it then completes.

#include <SystemExtensions/SystemExtensions.h>
#include <SystemExtensions/platform/Script.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace SystemExtensions {

using Step = SystemExtensionsPlatform::Step;

struct Submission
{
    std::string identifier;
    dispatch_queue_t queue;
};

class Scripts
{
public:
    static Scripts& shared();

    // Replaces the script for the next submissions and forgets the earlier runs: their steps still
    // queued do nothing.
    void set(std::vector<Step> steps);
    void reset();
    std::vector<Submission> submissions() const;

    void submit(OS::SystemExtensionRequest* request);

private:
    Scripts() = default;
    void deliver(OS::SystemExtensionRequest* request, std::vector<Step> steps, size_t index,
                 unsigned generation, bool ended);
    bool current(unsigned generation) const;

    // Approval, then completion.
    static std::vector<Step> defaultSteps();

    mutable std::mutex fLock;
    std::vector<Step> fSteps = defaultSteps();
    std::vector<Submission> fSubmissions;
    unsigned fGeneration = 0;
};

// An error of the framework's domain with a localized description.
NS::Error makeError(long code, const std::string& description);

} // namespace SystemExtensions
