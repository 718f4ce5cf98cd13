#pragma once

// Runs a function on a work loop's thread and waits (real time, 30 s at most) until it has run.
// False when it did not run in time: the loop's thread is busy or waits for the clock.

#include <functional>

class WorkLoop;

namespace PlugInTesting {

bool RunOnLoop(WorkLoop& loop, std::function<void()> work);

} // namespace PlugInTesting
