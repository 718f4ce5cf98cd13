#pragma once

// Whether a text can stand in an XML 1.0 document: no control characters but tab, line feed and
// carriage return, no U+FFFE or U+FFFF, and every surrogate paired.

#include "UString/UString.h"

namespace Pellix {

bool IsXMLText(const UString& text);

} // namespace Pellix
