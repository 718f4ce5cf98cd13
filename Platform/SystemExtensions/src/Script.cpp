#include "Script.h"

#include <cstring>

namespace SystemExtensions {

namespace {

std::string utf8(CFStringRef string)
{
    char buffer[512] = {};
    CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8);
    return buffer;
}

CFStringRef makeString(const std::string& text)
{
    return CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
}

OS::SystemExtensionProperties* makeProperties(CFStringRef identifier, const std::string& version)
{
    CFStringRef bundleVersion = makeString(version);
    const std::string shortText = version.substr(0, version.find('+'));
    CFStringRef shortVersion = makeString(shortText);
    OS::SystemExtensionProperties* properties =
        OS::SystemExtensionProperties::create(identifier, bundleVersion, shortVersion);
    CFRelease(bundleVersion);
    CFRelease(shortVersion);
    return properties;
}

} // namespace

NS::Error makeError(long code, const std::string& description)
{
    CFStringRef text = makeString(description);
    const void* keys[] = {kCFErrorDescriptionKey};
    const void* values[] = {text};
    CFDictionaryRef info = CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks);
    NS::Error error = CFErrorCreate(nullptr, OS::SystemExtensionErrorDomain, code, info);
    CFRelease(info);
    CFRelease(text);
    return error;
}

Scripts& Scripts::shared()
{
    static Scripts* scripts = new Scripts;
    return *scripts;
}

void Scripts::set(std::vector<Step> steps)
{
    std::lock_guard lock(fLock);
    fSteps = std::move(steps);
    fSubmissions.clear();
    ++fGeneration;
}

std::vector<Step> Scripts::defaultSteps()
{
    return {Step{Step::Kind::NeedsApproval},
            Step{Step::Kind::Finish, OS::SystemExtensionRequestResult::Completed}};
}

void Scripts::reset()
{
    set(defaultSteps());
}

std::vector<Submission> Scripts::submissions() const
{
    std::lock_guard lock(fLock);
    return fSubmissions;
}

bool Scripts::current(unsigned generation) const
{
    std::lock_guard lock(fLock);
    return generation == fGeneration;
}

void Scripts::submit(OS::SystemExtensionRequest* request)
{
    std::vector<Step> steps;
    unsigned generation = 0;
    {
        std::lock_guard lock(fLock);
        fSubmissions.push_back({utf8(request->identifier()), request->queue()});
        steps = fSteps;
        generation = fGeneration;
    }
    request->retain();
    deliver(request, std::move(steps), 0, generation, false);
}

// Queues step `index`; after it has run, the next one is queued, so each step has its own turn. A
// request ends after a finish or a failure: later steps other than checkpoints are not delivered.
// Waiting for approval does not end it. The request is released after the last step.
void Scripts::deliver(OS::SystemExtensionRequest* request, std::vector<Step> steps, size_t index,
                      unsigned generation, bool ended)
{
    dispatch_async(
        request->queue(), [this, request, steps = std::move(steps), index, generation, ended]() mutable {
            if (!current(generation) || index >= steps.size()) {
                request->release();
                return;
            }
            OS::SystemExtensionRequestDelegate* delegate = request->delegate();
            const Step& step = steps[index];
            if (ended && step.kind != Step::Kind::Checkpoint) {
                deliver(request, std::move(steps), index + 1, generation, ended);
                return;
            }
            switch (step.kind) {
            case Step::Kind::NeedsApproval:
                if (delegate != nullptr) {
                    delegate->requestNeedsUserApproval(request);
                }
                break;
            case Step::Kind::Finish:
                if (delegate != nullptr) {
                    delegate->requestDidFinishWithResult(request, step.result);
                }
                ended = true;
                break;
            case Step::Kind::Fail: {
                NS::Error error = makeError(step.errorCode, step.description);
                if (delegate != nullptr) {
                    delegate->requestDidFailWithError(request, error);
                }
                CFRelease(error);
                ended = true;
                break;
            }
            case Step::Kind::Replace: {
                OS::SystemExtensionProperties* existing =
                    makeProperties(request->identifier(), step.existingVersion);
                OS::SystemExtensionProperties* replacement =
                    makeProperties(request->identifier(), step.newVersion);
                const OS::SystemExtensionReplacementAction action =
                    delegate != nullptr
                        ? delegate->requestActionForReplacingExtension(request, existing, replacement)
                        : OS::SystemExtensionReplacementAction::Replace;
                existing->release();
                replacement->release();
                if (action == OS::SystemExtensionReplacementAction::Cancel) {
                    // The request ends with the cancelled failure, in a turn of its own.
                    Step cancelled{Step::Kind::Fail};
                    cancelled.errorCode = OS::SystemExtensionErrorRequestCanceled;
                    cancelled.description = "The operation couldn't be completed. Request was canceled.";
                    steps.insert(steps.begin() + long(index) + 1, cancelled);
                }
                break;
            }
            case Step::Kind::Checkpoint:
                step.checkpoint();
                break;
            }
            deliver(request, std::move(steps), index + 1, generation, ended);
        });
}

} // namespace SystemExtensions
