#include <AppKit/NSApplication.h>
#include <AppKit/NSWindow.h>

namespace NS {

Window* Window::create(Rect contentRect)
{
    auto* window = new Window(contentRect);
    Application::sharedApplication().addWindow(window);
    return window;
}

Window::Window(Rect contentRect)
    : fTitle(CFSTR("")), fFrame(contentRect), fContentView(View::create(Rect{{0, 0}, contentRect.size}))
{
    fContentView->fWindow = this;
}

Window::~Window()
{
    fContentView->fWindow = nullptr;
    fContentView->release();
    CFRelease(fTitle);
}

void Window::setTitle(String title)
{
    String old = fTitle;
    fTitle = static_cast<String>(CFRetain(title != nullptr ? title : CFSTR("")));
    CFRelease(old);
}

void Window::makeKeyAndOrderFront(Object*)
{
    fVisible = true;
}

void Window::orderOut(Object*)
{
    fVisible = false;
}

void Window::close()
{
    fVisible = false;
    Application::sharedApplication().windowClosed(this);
}

} // namespace NS
