#pragma once

// What the application model keeps for its tests: the steps to run after launching, and the
// applications the workspace was asked to launch.

#include <functional>
#include <string>
#include <vector>

namespace AppKit {

void setLaunchSteps(std::vector<std::function<void()>> steps);
std::vector<std::function<void()>> takeLaunchSteps();

void recordLaunch(const std::string& name);
std::vector<std::string> launches();
void forgetLaunches();

} // namespace AppKit
