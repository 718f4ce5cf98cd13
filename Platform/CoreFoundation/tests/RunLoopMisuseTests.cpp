#include "RunLoopTestThread.h"

#include <CoreFoundation/CFRunLoop.h>

#include <gtest/gtest.h>

using RunLoopTesting::CountingSource;

namespace {

struct MisuseCase
{
    const char* fName;
    void (*fCall)(CFRunLoopSourceRef source);
    const char* fMessage;
};

class RunLoopMisuse : public testing::TestWithParam<MisuseCase>
{};

// A NULL where the platform traps ends the process with a message naming the call.
TEST_P(RunLoopMisuse, EndsTheProcessNamingTheCall)
{
    CountingSource source;
    EXPECT_DEATH(GetParam().fCall(source.get()), GetParam().fMessage);
}

INSTANTIATE_TEST_SUITE_P(
    RunLoopMisuse, RunLoopMisuse,
    testing::Values(MisuseCase{"NullLoop", [](CFRunLoopSourceRef) { CFRunLoopStop(nullptr); },
                               "CFRunLoopStop: NULL"},
                    MisuseCase{"NullSource",
                               [](CFRunLoopSourceRef) {
                                   CFRunLoopAddSource(CFRunLoopGetCurrent(), nullptr, kCFRunLoopDefaultMode);
                               },
                               "CFRunLoopAddSource: NULL"},
                    MisuseCase{"NullMode",
                               [](CFRunLoopSourceRef source) {
                                   CFRunLoopAddSource(CFRunLoopGetCurrent(), source, nullptr);
                               },
                               "CFRunLoopAddSource: NULL mode"},
                    MisuseCase{"TimerForSource",
                               [](CFRunLoopSourceRef) {
                                   CFRunLoopTimerRef timer = CFRunLoopTimerCreate(kCFAllocatorDefault, 0, 0,
                                                                                  0, 0, nullptr, nullptr);
                                   CFRunLoopSourceSignal(reinterpret_cast<CFRunLoopSourceRef>(timer));
                               },
                               "CFRunLoopSourceSignal: argument of the wrong type"}),
    [](const auto& info) { return std::string(info.param.fName); });

} // namespace
