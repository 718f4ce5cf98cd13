#pragma once

// Widths and line heights of text in a font, from the font's own glyph metrics.

#include <AppKit/NSFont.h>
#include <Foundation/NSGeometry.h>

#include <string>

namespace AppKit {

// `text` is UTF-8. A font that cannot be loaded measures as nothing.
NS::Size measureText(const std::string& text, const NS::Font& font);

} // namespace AppKit
