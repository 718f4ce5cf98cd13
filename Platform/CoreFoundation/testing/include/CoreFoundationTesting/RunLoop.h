#pragma once

#include <CoreFoundation/CFRunLoop.h>
#include <DarwinTesting/ManualClock.h>

#include <chrono>

namespace CoreFoundationTesting {

// Runs the calling thread's loop in `mode` until nothing there is ready (no signalled source, port
// message, perform-block, main-queue block or due timer), without moving the clock.
void runUntilIdle(CFRunLoopMode mode = kCFRunLoopDefaultMode);

// Advances the manual clock by `by` as ManualClock::advance does, deadline by deadline, and at each
// step also runs the calling thread's own loop in the default mode until idle; the deadlines of
// that loop's own timers count as steps. The test thread can so serve its own loop (for the main
// thread: its main-queue blocks too) while time moves.
void advanceAndRun(DarwinTesting::ManualClock& clock, std::chrono::nanoseconds by);

} // namespace CoreFoundationTesting
