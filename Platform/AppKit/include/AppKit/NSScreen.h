#pragma once

// The main screen: its frame and the part of it below the menu bar.

#include <Foundation/NSGeometry.h>

namespace NS {

class Screen
{
public:
    static Screen* mainScreen();

    Rect frame() const;
    // The frame without the menu bar at its top.
    Rect visibleFrame() const;

private:
    Screen() = default;
};

} // namespace NS
