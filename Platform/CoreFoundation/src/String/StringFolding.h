#pragma once

// The foldings CFStringCompare applies before it compares unit by unit, on ICU's data.

#include <CoreFoundation/CFString.h>

#include <string>
#include <string_view>

namespace CFPlatform {

// The text with the foldings `flags` selects: kCFCompareWidthInsensitive replaces wide and narrow
// forms by their compatibility decomposition, kCFCompareDiacriticInsensitive decomposes
// canonically and drops non-spacing marks, kCFCompareCaseInsensitive applies ICU's default case
// folding.
std::u16string foldForComparison(std::u16string_view characters, CFStringCompareFlags flags);

inline char16_t lowerASCII(char16_t unit)
{
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
}

} // namespace CFPlatform
