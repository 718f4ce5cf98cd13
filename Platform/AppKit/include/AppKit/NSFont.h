#pragma once

// A font: a family and a size in points. The system font is DejaVu Sans.

#include <string>

namespace NS {

class Font
{
public:
    static Font systemFontOfSize(double pointSize) { return Font("DejaVu Sans", pointSize); }
    static constexpr double systemFontSize() { return 13; }

    Font(std::string familyName, double pointSize) : fFamilyName(std::move(familyName)), fPointSize(pointSize)
    {}

    const std::string& familyName() const { return fFamilyName; }
    double pointSize() const { return fPointSize; }

    bool operator==(const Font&) const = default;

private:
    std::string fFamilyName;
    double fPointSize;
};

} // namespace NS
