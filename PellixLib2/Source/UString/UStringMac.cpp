#include "UString.h"
#include "UStringConvertMac.h"

namespace {

CFComparisonResult compare(const UString& a, const UString& b, UString::CompareFlags flags)
{
    CFStringCompareFlags options = 0;
    if (flags & UString::kIgnoreCase) {
        options |= kCFCompareCaseInsensitive;
    }
    if (flags & UString::kIgnoreDiacritics) {
        options |= kCFCompareDiacriticInsensitive;
    }
    if (flags & UString::kIgnoreWidth) {
        options |= kCFCompareWidthInsensitive;
    }
    if (flags & UString::kCompareNumerically) {
        options |= kCFCompareNumerically;
    }
    return CFStringCompare(UStringToCF(a).get(), UStringToCF(b).get(), options);
}

} // namespace

bool UString::less(const UString& other, CompareFlags flags) const
{
    return compare(*this, other, flags) == kCFCompareLessThan;
}

bool UString::equal(const UString& other, CompareFlags flags) const
{
    return compare(*this, other, flags) == kCFCompareEqualTo;
}
