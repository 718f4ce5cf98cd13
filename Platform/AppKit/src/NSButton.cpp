#include <AppKit/NSButton.h>

namespace NS {

Button::Button(Rect frame, String title)
    : View(frame), fTitle(title, Font::systemFontOfSize(Font::systemFontSize()))
{}

void Button::setTitle(String title)
{
    fTitle = AttributedString(title, fTitle.font());
}

void Button::performClick()
{
    if (fEnabled && fAction != nullptr) {
        fAction(fTarget, this);
    }
}

} // namespace NS
