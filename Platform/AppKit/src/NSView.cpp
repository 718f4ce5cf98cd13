#include <AppKit/NSView.h>
#include <AppKit/NSWindow.h>

namespace NS {

View::View(Rect frame) : fFrame(frame), fBounds{{0, 0}, frame.size} {}

View::~View()
{
    for (View* view : fSubviews) {
        view->fSuperview = nullptr;
        view->release();
    }
}

void View::setFrame(Rect frame)
{
    fFrame = frame;
    fBounds = Rect{{0, 0}, frame.size};
}

void View::addSubview(View* view)
{
    view->retain();
    view->fSuperview = this;
    fSubviews.push_back(view);
}

Window* View::window() const
{
    const View* top = this;
    while (top->fSuperview != nullptr) {
        top = top->fSuperview;
    }
    return top->fWindow;
}

} // namespace NS
