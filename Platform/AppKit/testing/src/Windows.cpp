#include <AppKitTesting/Windows.h>

#include "AppKitRecords.h"

namespace AppKitTesting {

void sendKeyDown(NS::Window* window, const std::string& characters)
{
    NS::Event* event = NS::Event::keyEvent(characters);
    window->keyDown(event);
    event->release();
}

void resize(NS::Window* window, NS::Size size)
{
    window->setFrame(NS::Rect{window->frame().origin, size});
}

void performClose(NS::Window* window)
{
    window->performClose(nullptr);
}

std::vector<uint64_t> beeps()
{
    return AppKit::beeps();
}

std::vector<std::string> openedURLs()
{
    return AppKit::openedURLs();
}

void setMainScreen(NS::Rect frame, double menuBarHeight)
{
    AppKit::setMainScreen(frame, menuBarHeight);
}

} // namespace AppKitTesting
