#pragma once

// Test seam of the application model: steps that run once NSApplicationMain has launched, the
// applications the workspace launched, and a clean application for the next test.

#include <functional>
#include <string>
#include <vector>

namespace AppKitTesting {

// For the next NSApplicationMain: after applicationDidFinishLaunching, each step runs in a
// main-queue turn of its own, until the application terminates.
void afterLaunch(std::vector<std::function<void()>> steps);

// The names launchApplication was given, in order.
std::vector<std::string> launchedApplications();

// Closes nothing: forgets the windows, the delegate, the main menu, the steps and the launches.
void resetApplication();

} // namespace AppKitTesting
