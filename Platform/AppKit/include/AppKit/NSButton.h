#pragma once

// A push button: a title (plain, or attributed with colours), and an action sent to a target when
// it is clicked.

#include <AppKit/NSAttributedString.h>
#include <AppKit/NSView.h>

#include <optional>

namespace NS {

// An action: the target's method, called with the control that sent it.
using Action = void (*)(Object* target, Object* sender);

class Button : public View
{
public:
    static Button* create(Rect frame, String title) { return new Button(frame, title); }

    String title() const { return fTitle.string(); }
    void setTitle(String title);
    // The title in the button's font, with whatever colours were given to it.
    const AttributedString& attributedTitle() const { return fTitle; }
    void setAttributedTitle(const AttributedString& title) { fTitle = title; }

    // The target is not retained.
    void setTarget(Object* target) { fTarget = target; }
    Object* target() const { return fTarget; }
    void setAction(Action action) { fAction = action; }

    bool isEnabled() const { return fEnabled; }
    void setEnabled(bool enabled) { fEnabled = enabled; }

    // Sends the action to the target, as a click does; a disabled button ignores it.
    void performClick();

protected:
    Button(Rect frame, String title);

private:
    AttributedString fTitle;
    Object* fTarget = nullptr;
    Action fAction = nullptr;
    bool fEnabled = true;
};

} // namespace NS
