#include "CheckedRef.h"
#include "RunLoop.h"

#include <CoreFoundation/CFString.h>
#include <Darwin/Clock.h>

using CFPlatform::checkedRef;
using CFPlatform::refOf;
using CFPlatform::RunLoop;
using CFPlatform::Source;
using CFPlatform::Timer;

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFRunLoopMode kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

namespace {

// A NULL mode is a programming error, trapped like a NULL loop.
CFRunLoopMode checkedMode(CFRunLoopMode mode, const char* call)
{
    if (!mode) {
        CFPlatform::fatal(call, "NULL mode");
    }
    return mode;
}

} // namespace

CFTypeID CFRunLoopGetTypeID(void)
{
    return RunLoop::staticTypeID();
}

CFRunLoopRef CFRunLoopGetCurrent(void)
{
    return refOf<CFRunLoopRef>(RunLoop::current());
}

CFRunLoopRef CFRunLoopGetMain(void)
{
    return refOf<CFRunLoopRef>(RunLoop::main());
}

void CFRunLoopRun(void)
{
    RunLoop& loop = RunLoop::current();
    CFRunLoopRunResult result;
    do {
        result = loop.run(kCFRunLoopDefaultMode, DarwinClock::kNever, false, false);
    } while (result != kCFRunLoopRunStopped && result != kCFRunLoopRunFinished);
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled)
{
    bool singlePass = !(seconds > 0);
    uint64_t deadline = singlePass ? 0 : DarwinClock::deadlineAfterSeconds(seconds);
    return RunLoop::current().run(mode, deadline, returnAfterSourceHandled, singlePass);
}

void CFRunLoopStop(CFRunLoopRef rl)
{
    checkedRef<RunLoop>(rl, "CFRunLoopStop").stop();
}

void CFRunLoopWakeUp(CFRunLoopRef rl)
{
    checkedRef<RunLoop>(rl, "CFRunLoopWakeUp").wakeUp();
}

Boolean CFRunLoopIsWaiting(CFRunLoopRef rl)
{
    return checkedRef<RunLoop>(rl, "CFRunLoopIsWaiting").isWaiting();
}

CFRunLoopMode CFRunLoopCopyCurrentMode(CFRunLoopRef rl)
{
    return checkedRef<RunLoop>(rl, "CFRunLoopCopyCurrentMode").copyCurrentMode();
}

void CFRunLoopAddCommonMode(CFRunLoopRef rl, CFRunLoopMode mode)
{
    checkedRef<RunLoop>(rl, "CFRunLoopAddCommonMode")
        .addCommonMode(checkedMode(mode, "CFRunLoopAddCommonMode"));
}

void CFRunLoopPerformBlock(CFRunLoopRef rl, CFTypeRef mode, std::function<void()> block)
{
    checkedRef<RunLoop>(rl, "CFRunLoopPerformBlock").performBlock(mode, std::move(block));
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode)
{
    checkedRef<RunLoop>(rl, "CFRunLoopAddSource")
        .addSource(checkedRef<Source>(source, "CFRunLoopAddSource"), checkedMode(mode, "CFRunLoopAddSource"));
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode)
{
    checkedRef<RunLoop>(rl, "CFRunLoopRemoveSource")
        .removeSource(checkedRef<Source>(source, "CFRunLoopRemoveSource"),
                      checkedMode(mode, "CFRunLoopRemoveSource"));
}

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode)
{
    return checkedRef<RunLoop>(rl, "CFRunLoopContainsSource")
        .containsSource(checkedRef<Source>(source, "CFRunLoopContainsSource"),
                        checkedMode(mode, "CFRunLoopContainsSource"));
}

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
    checkedRef<RunLoop>(rl, "CFRunLoopAddTimer")
        .addTimer(checkedRef<Timer>(timer, "CFRunLoopAddTimer"), checkedMode(mode, "CFRunLoopAddTimer"));
}

void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
    checkedRef<RunLoop>(rl, "CFRunLoopRemoveTimer")
        .removeTimer(checkedRef<Timer>(timer, "CFRunLoopRemoveTimer"),
                     checkedMode(mode, "CFRunLoopRemoveTimer"));
}

Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
    return checkedRef<RunLoop>(rl, "CFRunLoopContainsTimer")
        .containsTimer(checkedRef<Timer>(timer, "CFRunLoopContainsTimer"),
                       checkedMode(mode, "CFRunLoopContainsTimer"));
}
