#include <AppKitTesting/Application.h>

#include "ApplicationState.h"

#include <AppKit/NSApplication.h>

namespace AppKit {

void resetApplication()
{
    NS::Application& application = NS::Application::sharedApplication();
    for (NS::Window* window : application.fWindows) {
        window->release();
    }
    application.fWindows.clear();
    application.setMainMenu(nullptr);
    application.fDelegate = nullptr;
    application.fRunning = false;
    setLaunchSteps({});
    forgetLaunches();
}

} // namespace AppKit

namespace AppKitTesting {

void afterLaunch(std::vector<std::function<void()>> steps)
{
    AppKit::setLaunchSteps(std::move(steps));
}

std::vector<std::string> launchedApplications()
{
    return AppKit::launches();
}

void resetApplication()
{
    AppKit::resetApplication();
}

} // namespace AppKitTesting
