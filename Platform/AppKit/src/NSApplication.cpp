#include <AppKit/NSApplication.h>

#include "ApplicationState.h"

#include <CoreFoundation/CFRunLoop.h>
#include <Foundation/NSException.h>
#include <dispatch/dispatch.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace NS {

namespace {

std::mutex gNibLock;
std::map<std::string, NibBuilder> gNibs;

// Runs `steps[index]` in a main-queue turn of its own, then queues the next one, while the run that
// queued them goes on.
void runSteps(std::shared_ptr<std::vector<std::function<void()>>> steps, size_t index, unsigned run)
{
    if (index >= steps->size()) {
        return;
    }
    dispatch_async(dispatch_get_main_queue(), [steps, index, run] {
        if (!Application::sharedApplication().isRunning(run)) {
            return;
        }
        (*steps)[index]();
        runSteps(steps, index + 1, run);
    });
}

} // namespace

void registerNib(const char* name, NibBuilder builder)
{
    std::lock_guard lock(gNibLock);
    gNibs[name] = builder;
}

Application& Application::sharedApplication()
{
    static Application* application = new Application;
    return *application;
}

void Application::setMainMenu(Menu* menu)
{
    if (menu != nullptr) {
        menu->retain();
    }
    if (fMainMenu != nullptr) {
        fMainMenu->release();
    }
    fMainMenu = menu;
}

void Application::addWindow(Window* window)
{
    if (window->fKeptByApplication) {
        window->retain();
    }
    fWindows.push_back(window);
}

void Application::forgetWindow(Window* window)
{
    std::erase(fWindows, window);
}

void Application::windowClosed(Window* window)
{
    auto found = std::find(fWindows.begin(), fWindows.end(), window);
    if (found == fWindows.end()) {
        return;
    }
    fWindows.erase(found);
    const bool last = fWindows.empty();
    if (window->fKeptByApplication) {
        window->release();
    }
    if (last && fDelegate != nullptr && fDelegate->applicationShouldTerminateAfterLastWindowClosed(this)) {
        terminate(nullptr);
    }
}

void Application::terminate(Object*)
{
    if (!fRunning) {
        return;
    }
    if (fDelegate != nullptr) {
        fDelegate->applicationWillTerminate(nullptr);
    }
    fRunning = false;
    CFRunLoopStop(CFRunLoopGetMain());
}

int Application::run()
{
    NibBuilder builder = nullptr;
    {
        std::lock_guard lock(gNibLock);
        auto found = gNibs.find("MainMenu");
        builder = found != gNibs.end() ? found->second : nullptr;
    }
    if (builder == nullptr) {
        throw Exception("NSInternalInconsistencyException", "No nib named MainMenu");
    }
    fRunning = true;
    const unsigned run = ++fRun;
    builder();
    auto steps = std::make_shared<std::vector<std::function<void()>>>(AppKit::takeLaunchSteps());
    dispatch_async(dispatch_get_main_queue(), [this, steps, run] {
        if (!isRunning(run)) {
            return;
        }
        if (fDelegate != nullptr) {
            fDelegate->applicationDidFinishLaunching(nullptr);
        }
        runSteps(steps, 0, run);
    });
    while (fRunning) {
        CFRunLoopRun();
    }
    return 0;
}

} // namespace NS

int NSApplicationMain(int, const char**)
{
    return NS::Application::sharedApplication().run();
}
