#pragma once

// Points and rectangles of the drawing layer, in doubles.

namespace Pellix {

struct Point
{
    double x = 0.0;
    double y = 0.0;
};

// Width and height may be negative: the minimum corner of an axis is then origin + size.
struct Rect
{
    Point origin;
    double width = 0.0;
    double height = 0.0;
};

} // namespace Pellix
