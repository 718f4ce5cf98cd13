#include "UserSpaceNotifications.h"

#include <IOKitTestSupport.h>

namespace KernelIOKitTestSupport {

struct UserSpaceNotifications::State
{
    IOKitTestSupport::MatchingRecorder fRecorder{"kernel"};
    IONotificationPortRef fPort = nullptr;
    io_iterator_t fIterator = 0;
    std::unique_ptr<IOKitTestSupport::LoopThread> fThread;
};

UserSpaceNotifications::UserSpaceNotifications(const char* type, const char* className)
    : fState(std::make_unique<State>())
{
    State& state = *fState;
    state.fThread = std::make_unique<IOKitTestSupport::LoopThread>([&state, type, className] {
        state.fPort = IONotificationPortCreate(kIOMainPortDefault);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(state.fPort),
                           kCFRunLoopDefaultMode);
        IOServiceAddMatchingNotification(state.fPort, type, IOServiceMatching(className),
                                         &IOKitTestSupport::MatchingRecorder::callback, &state.fRecorder,
                                         &state.fIterator);
        // Arms the notification; services already matched are not what is asked about.
        IOKitTestSupport::drainNames(state.fIterator);
    });
}

UserSpaceNotifications::~UserSpaceNotifications()
{
    fState->fThread.reset();
    IOObjectRelease(fState->fIterator);
    IONotificationPortDestroy(fState->fPort);
}

std::vector<std::string> UserSpaceNotifications::waitForNames(size_t count)
{
    EXPECT_TRUE(DarwinTesting::eventually([&] { return fState->fRecorder.names().size() >= count; }))
        << "the notifications never came";
    return fState->fRecorder.names();
}

} // namespace KernelIOKitTestSupport
