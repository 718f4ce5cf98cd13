#pragma once

// Text with a font and, over ranges of its characters, a foreground colour. Copies are independent.

#include <AppKit/NSColor.h>
#include <AppKit/NSFont.h>
#include <Foundation/NSGeometry.h>
#include <Foundation/NSTypes.h>

#include <optional>
#include <string>
#include <vector>

namespace NS {

struct Range
{
    long location = 0;
    long length = 0;
};

class AttributedString
{
public:
    AttributedString(String string, Font font);
    AttributedString(const AttributedString& other);
    AttributedString& operator=(const AttributedString& other);
    ~AttributedString();

    String string() const { return fString; }
    long length() const;
    const Font& font() const { return fFont; }

    // Characters outside the text are left out.
    void addForegroundColor(Color color, Range range);
    // The colour at a character, if one was set there.
    std::optional<Color> foregroundColorAtIndex(long index) const;

    // The size the text takes drawn in its font on one line: the glyphs' advances, and the font's
    // line height.
    Size size() const;

private:
    String fString;
    Font fFont;
    std::vector<std::optional<Color>> fColors;
};

} // namespace NS
