#pragma once

// The main window: keys typed into it are the page's business, so they end here without a beep.

#include <AppKit/NSWindow.h>

class NSWindowImpl : public NS::Window
{
public:
    static NSWindowImpl* initWithContentRect(NS::Rect contentRect, unsigned long styleMask,
                                             NS::BackingStoreType backing, bool defer)
    {
        return new NSWindowImpl(contentRect, styleMask, backing, defer);
    }

    void keyDown(NS::Event*) override {}

private:
    using NS::Window::Window;
};
