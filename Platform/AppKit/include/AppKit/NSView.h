#pragma once

// Views: a frame in the superview's coordinates, bounds in their own, retained subviews, and a
// flag asking for display. Made with a retain count of one.

#include <Foundation/NSGeometry.h>
#include <Foundation/NSObject.h>

#include <vector>

namespace NS {

class Window;

class View : public Object
{
public:
    static View* create(Rect frame) { return new View(frame); }

    Rect frame() const { return fFrame; }
    // Also sets the bounds to the new size at the origin.
    void setFrame(Rect frame);
    Rect bounds() const { return fBounds; }
    void setBounds(Rect bounds) { fBounds = bounds; }

    // Retains the subview.
    void addSubview(View* view);
    const std::vector<View*>& subviews() const { return fSubviews; }
    View* superview() const { return fSuperview; }
    Window* window() const;

    // A hidden view stays in its superview and keeps its state; it is only not drawn.
    bool isHidden() const { return fHidden; }
    void setHidden(bool hidden) { fHidden = hidden; }

    bool needsDisplay() const { return fNeedsDisplay; }
    void setNeedsDisplay(bool needsDisplay) { fNeedsDisplay = needsDisplay; }

protected:
    explicit View(Rect frame);
    ~View() override;

private:
    friend class Window;

    Rect fFrame;
    Rect fBounds;
    std::vector<View*> fSubviews;
    View* fSuperview = nullptr;
    Window* fWindow = nullptr;
    bool fNeedsDisplay = false;
    bool fHidden = false;
};

} // namespace NS
