#pragma once

// Points, sizes and rectangles of the view coordinate system (origin at the lower left).

namespace NS {

struct Point
{
    double x = 0;
    double y = 0;

    bool operator==(const Point&) const = default;
};

struct Size
{
    double width = 0;
    double height = 0;

    bool operator==(const Size&) const = default;
};

struct Rect
{
    Point origin;
    Size size;

    bool operator==(const Rect&) const = default;
};

inline Rect MakeRect(double x, double y, double width, double height)
{
    return Rect{{x, y}, {width, height}};
}

} // namespace NS
