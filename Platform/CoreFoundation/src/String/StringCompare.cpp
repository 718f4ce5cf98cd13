#include "String/StringFolding.h"
#include "String/StringObject.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace {

constexpr CFStringCompareFlags kFoldingFlags =
    kCFCompareCaseInsensitive | kCFCompareDiacriticInsensitive | kCFCompareWidthInsensitive;

CFComparisonResult signOf(long value)
{
    return value < 0 ? kCFCompareLessThan : value > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

bool isDigit(char16_t unit)
{
    return unit >= u'0' && unit <= u'9';
}

// The run of ASCII digits starting at `at`, without its leading zeros; `at` moves past the run.
std::u16string_view digitRun(std::u16string_view text, size_t& at)
{
    while (at < text.size() && text[at] == u'0' && at + 1 < text.size() && isDigit(text[at + 1])) {
        ++at;
    }
    size_t start = at;
    while (at < text.size() && isDigit(text[at])) {
        ++at;
    }
    return text.substr(start, at - start);
}

// Unit by unit, except that runs of ASCII digits meet as numbers ("file9" before "file10").
CFComparisonResult compareNumerically(std::u16string_view a, std::u16string_view b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::u16string_view runA = digitRun(a, i);
            std::u16string_view runB = digitRun(b, j);
            if (runA.size() != runB.size()) {
                return signOf(static_cast<long>(runA.size()) - static_cast<long>(runB.size()));
            }
            if (int order = runA.compare(runB); order != 0) {
                return signOf(order);
            }
            continue;
        }
        if (a[i] != b[j]) {
            return signOf(static_cast<long>(a[i]) - static_cast<long>(b[j]));
        }
        ++i;
        ++j;
    }
    return signOf(static_cast<long>(a.size() - i) - static_cast<long>(b.size() - j));
}

// The index of the first unit where the texts differ, or the shorter length. Whole words are
// compared first: texts are often equal for most of their length.
size_t firstDifference(std::u16string_view a, std::u16string_view b)
{
    size_t common = std::min(a.size(), b.size());
    size_t i = 0;
    for (; i + 4 <= common; i += 4) {
        uint64_t wordA;
        uint64_t wordB;
        std::memcpy(&wordA, a.data() + i, sizeof wordA);
        std::memcpy(&wordB, b.data() + i, sizeof wordB);
        if (wordA != wordB) {
            break;
        }
    }
    while (i < common && a[i] == b[i]) {
        ++i;
    }
    return i;
}

// Unit by unit in UTF-16 order, a prefix first.
CFComparisonResult compareLiterally(std::u16string_view a, std::u16string_view b)
{
    size_t i = firstDifference(a, b);
    if (i == a.size() || i == b.size()) {
        return signOf(static_cast<long>(a.size()) - static_cast<long>(b.size()));
    }
    return signOf(static_cast<long>(a[i]) - static_cast<long>(b[i]));
}

constexpr char16_t kNoSingleUnitFolding = 0xFFFF;

// The case folding of each Latin-1 unit, as ICU's default folding gives it, or
// kNoSingleUnitFolding where that is more than one unit ("\u00DF" folds to "ss").
struct Latin1Folding
{
    char16_t fUnits[0x100];

    Latin1Folding()
    {
        for (char16_t unit = 0; unit < 0x100; ++unit) {
            UChar folded[4];
            UErrorCode status = U_ZERO_ERROR;
            int32_t length = u_strFoldCase(folded, 4, &unit, 1, U_FOLD_CASE_DEFAULT, &status);
            fUnits[unit] = U_SUCCESS(status) && length == 1 ? folded[0] : kNoSingleUnitFolding;
        }
    }
};

// Case-insensitive order, as ICU's default folding gives it. Folding maps each code point on its
// own, so equal units and Latin-1 units that fold to one unit each are compared here, and ICU
// folds only from the first other difference on.
CFComparisonResult compareCaseInsensitive(std::u16string_view a, std::u16string_view b)
{
    static const Latin1Folding sLatin1;
    size_t common = std::min(a.size(), b.size());
    size_t i = firstDifference(a, b);
    for (; i < common; ++i) {
        if (a[i] == b[i]) {
            continue;
        }
        if (a[i] >= 0x100 || b[i] >= 0x100) {
            break;
        }
        char16_t foldedA = sLatin1.fUnits[a[i]];
        char16_t foldedB = sLatin1.fUnits[b[i]];
        if (foldedA == kNoSingleUnitFolding || foldedB == kNoSingleUnitFolding) {
            break;
        }
        if (foldedA != foldedB) {
            return signOf(static_cast<long>(foldedA) - static_cast<long>(foldedB));
        }
    }
    // No character folds to nothing, so a text left over is the greater.
    if (i == common) {
        return signOf(static_cast<long>(a.size()) - static_cast<long>(b.size()));
    }
    if (i > 0 && U16_IS_LEAD(a[i - 1])) {
        --i;
    }
    UErrorCode status = U_ZERO_ERROR;
    return signOf(u_strCaseCompare(a.data() + i, static_cast<int32_t>(a.size() - i), b.data() + i,
                                   static_cast<int32_t>(b.size() - i), U_FOLD_CASE_DEFAULT, &status));
}

} // namespace

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions)
{
    std::u16string_view a = CFPlatform::viewOf(theString1, "CFStringCompare");
    std::u16string_view b = CFPlatform::viewOf(theString2, "CFStringCompare");
    CFStringCompareFlags folding = compareOptions & kFoldingFlags;
    bool numerically = compareOptions & kCFCompareNumerically;
    if (!numerically && folding == 0) {
        return compareLiterally(a, b);
    }
    if (!numerically && folding == kCFCompareCaseInsensitive) {
        return compareCaseInsensitive(a, b);
    }
    std::u16string foldedA = CFPlatform::foldForComparison(a, folding);
    std::u16string foldedB = CFPlatform::foldForComparison(b, folding);
    if (numerically) {
        return compareNumerically(foldedA, foldedB);
    }
    return compareLiterally(foldedA, foldedB);
}
