#pragma once

// A window: a title, a content view filling its content rectangle, and whether it is on screen.
// Made with a retain count of one; the application keeps a window until it is closed.

#include <AppKit/NSView.h>
#include <Foundation/NSTypes.h>

namespace NS {

class Window : public Object
{
public:
    static Window* create(Rect contentRect);

    String title() const { return fTitle; }
    void setTitle(String title);
    View* contentView() const { return fContentView; }
    Rect frame() const { return fFrame; }

    bool isVisible() const { return fVisible; }
    void makeKeyAndOrderFront(Object* sender);
    void orderOut(Object* sender);
    // Takes the window off screen and out of the application's windows.
    void close();

private:
    explicit Window(Rect contentRect);
    ~Window() override;

    String fTitle;
    Rect fFrame;
    View* fContentView;
    bool fVisible = false;
};

} // namespace NS
