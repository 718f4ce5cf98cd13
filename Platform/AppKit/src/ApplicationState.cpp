#include "ApplicationState.h"

#include <mutex>
#include <utility>

namespace AppKit {

namespace {

std::mutex gLock;
std::vector<std::function<void()>> gLaunchSteps;
std::vector<std::string> gLaunches;

} // namespace

void setLaunchSteps(std::vector<std::function<void()>> steps)
{
    std::lock_guard lock(gLock);
    gLaunchSteps = std::move(steps);
}

std::vector<std::function<void()>> takeLaunchSteps()
{
    std::lock_guard lock(gLock);
    return std::exchange(gLaunchSteps, {});
}

void recordLaunch(const std::string& name)
{
    std::lock_guard lock(gLock);
    gLaunches.push_back(name);
}

std::vector<std::string> launches()
{
    std::lock_guard lock(gLock);
    return gLaunches;
}

void forgetLaunches()
{
    std::lock_guard lock(gLock);
    gLaunches.clear();
}

} // namespace AppKit
