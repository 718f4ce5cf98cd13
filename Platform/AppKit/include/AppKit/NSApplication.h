#pragma once

// The application: its delegate, windows and main menu, and the main thread's run loop it runs
// from NSApplicationMain until it terminates.
//
// NSApplicationMain builds the user interface with the builder registered under "MainMenu" (what
// the main nib does), tells the delegate that launching has finished, and runs the main run loop
// (and with it the main queue) until `terminate`. It then returns 0.

#include <AppKit/NSMenu.h>
#include <AppKit/NSWindow.h>

#include <vector>

int NSApplicationMain(int argc, const char** argv);

namespace AppKit {
void resetApplication();
} // namespace AppKit

namespace NS {

class Application;

class ApplicationDelegate
{
public:
    virtual void applicationDidFinishLaunching(Object* notification) = 0;
    virtual bool applicationShouldTerminateAfterLastWindowClosed(Application* sender) = 0;
    virtual void applicationWillTerminate(Object* notification) = 0;

protected:
    ~ApplicationDelegate() = default;
};

class Application
{
public:
    static Application& sharedApplication();

    // Not retained.
    void setDelegate(ApplicationDelegate* delegate) { fDelegate = delegate; }
    ApplicationDelegate* delegate() const { return fDelegate; }

    // Retains the menu.
    void setMainMenu(Menu* menu);
    Menu* mainMenu() const { return fMainMenu; }
    const std::vector<Window*>& windows() const { return fWindows; }

    // Tells the delegate, then ends the run of NSApplicationMain.
    void terminate(Object* sender);
    bool isRunning() const { return fRunning; }
    // Whether the run of NSApplicationMain numbered `run` (from 1) goes on.
    bool isRunning(unsigned run) const { return fRunning && fRun == run; }

private:
    friend class Window;
    friend int ::NSApplicationMain(int argc, const char** argv);
    friend void AppKit::resetApplication();

    Application() = default;
    void addWindow(Window* window);
    void windowClosed(Window* window);
    // A window its maker released before closing it leaves the list.
    void forgetWindow(Window* window);
    int run();

    ApplicationDelegate* fDelegate = nullptr;
    Menu* fMainMenu = nullptr;
    std::vector<Window*> fWindows;
    bool fRunning = false;
    unsigned fRun = 0;
};

using NibBuilder = void (*)();
// What loading the nib of that name builds.
void registerNib(const char* name, NibBuilder builder);

} // namespace NS
