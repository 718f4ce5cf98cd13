#include "AppKitRecords.h"

#include <AppKit/NSGraphics.h>
#include <AppKit/NSScreen.h>
#include <FoundationPlatform/RecordSequence.h>

#include <mutex>

namespace AppKit {

namespace {

std::mutex gLock;
std::vector<uint64_t> gBeeps;
std::vector<std::string> gOpenedURLs;
NS::Window* gKeyWindow = nullptr;
NS::Rect gScreen = NS::MakeRect(0, 0, 1920, 1080);
double gMenuBarHeight = 25;

} // namespace

std::vector<uint64_t> beeps()
{
    std::lock_guard lock(gLock);
    return gBeeps;
}

void forgetRecords()
{
    std::lock_guard lock(gLock);
    gBeeps.clear();
    gOpenedURLs.clear();
}

std::vector<std::string> openedURLs()
{
    std::lock_guard lock(gLock);
    return gOpenedURLs;
}

void recordOpenedURL(const std::string& url)
{
    std::lock_guard lock(gLock);
    gOpenedURLs.push_back(url);
}

NS::Window* keyWindow()
{
    std::lock_guard lock(gLock);
    return gKeyWindow;
}

void setKeyWindow(NS::Window* window)
{
    std::lock_guard lock(gLock);
    gKeyWindow = window;
}

void setMainScreen(NS::Rect frame, double menuBarHeight)
{
    std::lock_guard lock(gLock);
    gScreen = frame;
    gMenuBarHeight = menuBarHeight;
}

NS::Rect mainScreenFrame()
{
    std::lock_guard lock(gLock);
    return gScreen;
}

double menuBarHeight()
{
    std::lock_guard lock(gLock);
    return gMenuBarHeight;
}

} // namespace AppKit

void NSBeep()
{
    std::lock_guard lock(AppKit::gLock);
    AppKit::gBeeps.push_back(FoundationPlatform::nextRecordSequence());
}

namespace NS {

Screen* Screen::mainScreen()
{
    static Screen screen;
    return &screen;
}

Rect Screen::frame() const
{
    return AppKit::mainScreenFrame();
}

Rect Screen::visibleFrame() const
{
    Rect visible = AppKit::mainScreenFrame();
    visible.size.height -= AppKit::menuBarHeight();
    return visible;
}

} // namespace NS
