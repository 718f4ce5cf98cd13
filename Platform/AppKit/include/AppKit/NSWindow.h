#pragma once

// A window: a title, a content view filling its content rectangle, and whether it is on screen.
// Made with a retain count of one. A window from `create` is also kept by the application until it
// is closed; one from `initWithContentRect` belongs to its maker, and closing it releases it once
// only when it is released when closed.

#include <AppKit/NSEvent.h>
#include <AppKit/NSView.h>
#include <Foundation/NSTypes.h>

namespace AppKit {
void resetApplication();
} // namespace AppKit

namespace NS {

enum WindowStyleMask : unsigned long
{
    WindowStyleMaskTitled = 1,
    WindowStyleMaskClosable = 2,
    WindowStyleMaskMiniaturizable = 4,
    WindowStyleMaskResizable = 8,
};

enum BackingStoreType : unsigned long
{
    BackingStoreBuffered = 2,
};

class Window : public Object
{
public:
    static Window* create(Rect contentRect);
    static Window* initWithContentRect(Rect contentRect, unsigned long styleMask, BackingStoreType backing,
                                       bool defer);

    // The height a titled window's frame adds above its content.
    static constexpr double kTitleBarHeight = 28;

    String title() const { return fTitle; }
    void setTitle(String title);
    View* contentView() const { return fContentView; }
    // Retains the view, which takes the content size and follows every resize.
    void setContentView(View* view);
    Rect frame() const { return fFrame; }
    // Moves and sizes the frame, no smaller than the minimum size; the content view follows.
    void setFrame(Rect frame);
    unsigned long styleMask() const { return fStyleMask; }
    BackingStoreType backingType() const { return fBacking; }
    bool isDeferred() const { return fDeferred; }

    void setReleasedWhenClosed(bool released) { fReleasedWhenClosed = released; }
    bool isReleasedWhenClosed() const { return fReleasedWhenClosed; }
    // Of the frame.
    void setMinSize(Size size) { fMinSize = size; }
    Size minSize() const { return fMinSize; }
    // Somewhat above the centre of the main screen's visible frame: a third of the free height above.
    void center();

    bool isKeyWindow() const;
    // The default hands the key up the responder chain, whose end beeps.
    virtual void keyDown(Event* event);

    bool isVisible() const { return fVisible; }
    void makeKeyAndOrderFront(Object* sender);
    void orderOut(Object* sender);
    // Takes the window off screen and out of the application's windows.
    void close();
    // As the close button: closes a closable window, beeps for another.
    void performClose(Object* sender);

protected:
    Window(Rect contentRect, unsigned long styleMask, BackingStoreType backing, bool defer);
    ~Window() override;

private:
    friend class Application;
    friend void AppKit::resetApplication();

    explicit Window(Rect contentRect);
    Rect contentRect() const;

    String fTitle;
    Rect fFrame;
    View* fContentView;
    bool fVisible = false;
    unsigned long fStyleMask = WindowStyleMaskTitled | WindowStyleMaskClosable;
    BackingStoreType fBacking = BackingStoreBuffered;
    bool fDeferred = false;
    bool fReleasedWhenClosed = true;
    Size fMinSize;
    double fTitleBarHeight = 0;
    // Whether the application's window list holds a reference (windows from `create`).
    bool fKeptByApplication = true;
};

} // namespace NS
