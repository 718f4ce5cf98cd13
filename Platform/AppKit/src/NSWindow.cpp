#include <AppKit/NSApplication.h>
#include <AppKit/NSGraphics.h>
#include <AppKit/NSScreen.h>
#include <AppKit/NSWindow.h>

#include "AppKitRecords.h"

#include <algorithm>

namespace NS {

Window* Window::create(Rect contentRect)
{
    auto* window = new Window(contentRect);
    Application::sharedApplication().addWindow(window);
    return window;
}

Window* Window::initWithContentRect(Rect contentRect, unsigned long styleMask, BackingStoreType backing,
                                    bool defer)
{
    return new Window(contentRect, styleMask, backing, defer);
}

Window::Window(Rect contentRect)
    : fTitle(CFSTR("")), fFrame(contentRect), fContentView(View::create(Rect{{0, 0}, contentRect.size}))
{
    fContentView->fWindow = this;
}

Window::Window(Rect contentRect, unsigned long styleMask, BackingStoreType backing, bool defer)
    : Window(contentRect)
{
    fStyleMask = styleMask;
    fBacking = backing;
    fDeferred = defer;
    fKeptByApplication = false;
    if (styleMask & WindowStyleMaskTitled) {
        fTitleBarHeight = kTitleBarHeight;
        fFrame.size.height += kTitleBarHeight;
    }
    Application::sharedApplication().addWindow(this);
}

Window::~Window()
{
    if (AppKit::keyWindow() == this) {
        AppKit::setKeyWindow(nullptr);
    }
    if (!fKeptByApplication) {
        Application::sharedApplication().forgetWindow(this);
    }
    fContentView->fWindow = nullptr;
    fContentView->release();
    CFRelease(fTitle);
}

Rect Window::contentRect() const
{
    Rect content = fFrame;
    content.size.height -= fTitleBarHeight;
    return content;
}

void Window::setTitle(String title)
{
    String old = fTitle;
    fTitle = static_cast<String>(CFRetain(title != nullptr ? title : CFSTR("")));
    CFRelease(old);
}

void Window::setContentView(View* view)
{
    view->retain();
    fContentView->fWindow = nullptr;
    fContentView->release();
    fContentView = view;
    fContentView->fWindow = this;
    fContentView->setFrame(Rect{{0, 0}, contentRect().size});
}

void Window::setFrame(Rect frame)
{
    frame.size.width = std::max(frame.size.width, fMinSize.width);
    frame.size.height = std::max(frame.size.height, fMinSize.height);
    fFrame = frame;
    fContentView->setFrame(Rect{{0, 0}, contentRect().size});
}

void Window::center()
{
    const Rect visible = Screen::mainScreen()->visibleFrame();
    const double freeWidth = visible.size.width - fFrame.size.width;
    const double freeHeight = visible.size.height - fFrame.size.height;
    fFrame.origin = Point{visible.origin.x + freeWidth / 2, visible.origin.y + freeHeight * 2 / 3};
}

bool Window::isKeyWindow() const
{
    return AppKit::keyWindow() == this;
}

void Window::keyDown(Event*)
{
    NSBeep();
}

void Window::makeKeyAndOrderFront(Object*)
{
    fVisible = true;
    AppKit::setKeyWindow(this);
}

void Window::orderOut(Object*)
{
    fVisible = false;
    if (isKeyWindow()) {
        AppKit::setKeyWindow(nullptr);
    }
}

void Window::close()
{
    orderOut(nullptr);
    // The application may end here, and a window released when closed may go with its last
    // reference, so it is kept until the close is done.
    const auto& open = Application::sharedApplication().windows();
    if (std::find(open.begin(), open.end(), this) == open.end()) {
        return;
    }
    retain();
    Application::sharedApplication().windowClosed(this);
    if (fReleasedWhenClosed && !fKeptByApplication) {
        release();
    }
    release();
}

void Window::performClose(Object*)
{
    if (fStyleMask & WindowStyleMaskClosable) {
        close();
    } else {
        NSBeep();
    }
}

} // namespace NS
