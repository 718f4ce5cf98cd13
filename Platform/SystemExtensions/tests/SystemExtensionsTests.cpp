#include <SystemExtensions/SystemExtensions.h>
#include <SystemExtensionsTesting/Script.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

using namespace SystemExtensionsTesting;
using OS::SystemExtensionReplacementAction;
using OS::SystemExtensionRequestResult;

namespace {

std::string text(CFStringRef string)
{
    char buffer[256] = {};
    CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8);
    return buffer;
}

// Records the reports in order; answers replacements as told.
class Recorder : public OS::SystemExtensionRequestDelegate
{
public:
    explicit Recorder(SystemExtensionReplacementAction answer = SystemExtensionReplacementAction::Replace)
        : fAnswer(answer)
    {}

    SystemExtensionReplacementAction
    requestActionForReplacingExtension(OS::SystemExtensionRequest*, OS::SystemExtensionProperties* existing,
                                       OS::SystemExtensionProperties* extension) override
    {
        add("replace " + text(existing->bundleVersion()) + " (" + text(existing->bundleShortVersion()) +
            ") by " + text(extension->bundleVersion()) + " of " + text(extension->bundleIdentifier()));
        return fAnswer;
    }
    void requestNeedsUserApproval(OS::SystemExtensionRequest* request) override
    {
        add("approval");
        // Queued now, it runs before the next step if each step has a turn of its own.
        dispatch_async(request->queue(), [this] { add("turn"); });
    }
    void requestDidFinishWithResult(OS::SystemExtensionRequest*, SystemExtensionRequestResult result) override
    {
        add("finish " + std::to_string(long(result)));
    }
    void requestDidFailWithError(OS::SystemExtensionRequest*, NS::Error error) override
    {
        CFStringRef description = CFErrorCopyDescription(error);
        add("fail " + std::to_string(CFErrorGetCode(error)) + " " + text(CFErrorGetDomain(error)) + " " +
            text(description));
        CFRelease(description);
    }

    void add(const std::string& event)
    {
        std::lock_guard lock(fLock);
        fEvents.push_back(event);
    }

    // Runs `turns` empty blocks through the queue: each step queues the next, so the script has run
    // once they have.
    std::vector<std::string> drained(dispatch_queue_t queue, int turns)
    {
        for (int turn = 0; turn < turns; ++turn) {
            dispatch_sync(queue, [] {});
        }
        std::lock_guard lock(fLock);
        return fEvents;
    }

private:
    const SystemExtensionReplacementAction fAnswer;
    std::mutex fLock;
    std::vector<std::string> fEvents;
};

class Requests : public testing::Test
{
protected:
    ~Requests() override { dispatch_release(fQueue); }

    std::vector<std::string> Submit(Recorder& recorder, int turns = 12)
    {
        OS::SystemExtensionRequest* request = OS::SystemExtensionRequest::activationRequestForExtension(
            CFSTR("com.vork.driver.tide.dext"), fQueue);
        request->setDelegate(&recorder);
        OS::SystemExtensionManager::sharedManager().submitRequest(request);
        std::vector<std::string> events = recorder.drained(fQueue, turns);
        EXPECT_EQ(request->retainCount(), 1u) << "the system let go of the ended request";
        request->release();
        return events;
    }

    dispatch_queue_t fQueue = dispatch_queue_create("Requests", DISPATCH_QUEUE_SERIAL);
};

TEST_F(Requests, StepsArriveInOrderEachInItsOwnTurnAndNothingAfterTheEnd)
{
    Script script({needsApproval(), finish(SystemExtensionRequestResult::WillCompleteAfterReboot),
                   fail(OS::SystemExtensionErrorUnknown, "late")});
    Recorder recorder;
    EXPECT_EQ(Submit(recorder), (std::vector<std::string>{"approval", "turn", "finish 1"}));
    ASSERT_EQ(script.submissions().size(), 1u);
    EXPECT_EQ(script.submissions()[0].identifier, "com.vork.driver.tide.dext");
    EXPECT_EQ(script.submissions()[0].queue, fQueue);
}

TEST_F(Requests, ACancelledReplacementFailsWithRequestCancelled)
{
    Script script({replace("2.0.0+95375", "2.0.0+95375"), finish(SystemExtensionRequestResult::Completed)});
    Recorder recorder(SystemExtensionReplacementAction::Cancel);
    EXPECT_EQ(Submit(recorder), (std::vector<std::string>{
                                    "replace 2.0.0+95375 (2.0.0) by 2.0.0+95375 of com.vork.driver.tide.dext",
                                    "fail 11 OSSystemExtensionErrorDomain The operation couldn't be "
                                    "completed. Request was canceled."}));
}

TEST_F(Requests, AReplacementAnsweredReplaceGoesOn)
{
    Recorder recorder;
    Script script({replace("1.0.0+1", "2.0.0+95375"), finish(SystemExtensionRequestResult::Completed),
                   checkpoint([&] { recorder.add("checkpoint"); })});
    EXPECT_EQ(Submit(recorder),
              (std::vector<std::string>{"replace 1.0.0+1 (1.0.0) by 2.0.0+95375 of com.vork.driver.tide.dext",
                                        "finish 0", "checkpoint"}));
}

TEST_F(Requests, WithoutAScriptARequestIsApprovedAndCompletes)
{
    const std::vector<std::string> approvedAndCompleted{"approval", "turn", "finish 0"};
    Recorder first;
    EXPECT_EQ(Submit(first), approvedAndCompleted);
    {
        Script gone({fail(1, "refused")});
    }
    Recorder second;
    EXPECT_EQ(Submit(second), approvedAndCompleted) << "after a script has gone";
}

TEST_F(Requests, ARequestNeedsAnIdentifierAndAQueue)
{
    EXPECT_EQ(OS::SystemExtensionRequest::activationRequestForExtension(nullptr, fQueue), nullptr);
    EXPECT_EQ(OS::SystemExtensionRequest::activationRequestForExtension(CFSTR("x"), nullptr), nullptr);
}

} // namespace
