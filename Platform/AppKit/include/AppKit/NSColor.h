#pragma once

// Colours as red, green, blue and alpha components from 0 to 1.

namespace NS {

struct Color
{
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;

    static Color colorWithRed(double red, double green, double blue, double alpha)
    {
        return {red, green, blue, alpha};
    }
    static Color whiteColor() { return {1, 1, 1, 1}; }
    static Color blackColor() { return {0, 0, 0, 1}; }
    static Color clearColor() { return {0, 0, 0, 0}; }

    bool operator==(const Color&) const = default;
};

} // namespace NS
