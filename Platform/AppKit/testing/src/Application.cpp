#include <AppKitTesting/Application.h>

#include "AppKitRecords.h"
#include "ApplicationState.h"

#include <AppKit/NSApplication.h>

namespace AppKit {

void resetApplication()
{
    NS::Application& application = NS::Application::sharedApplication();
    auto windows = std::move(application.fWindows);
    application.fWindows.clear();
    for (NS::Window* window : windows) {
        if (window->fKeptByApplication) {
            window->release();
        }
    }
    application.setMainMenu(nullptr);
    application.fDelegate = nullptr;
    application.fRunning = false;
    setLaunchSteps({});
    forgetLaunches();
    forgetRecords();
    setMainScreen(NS::MakeRect(0, 0, 1920, 1080), 25);
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
