#include "String/StringObject.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace {

constexpr CFStringCompareFlags kFoldingFlags =
    kCFCompareCaseInsensitive | kCFCompareDiacriticInsensitive | kCFCompareWidthInsensitive;

CFComparisonResult signOf(long value)
{
    return value < 0 ? kCFCompareLessThan : value > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

const icu::Normalizer2& normalizer(const icu::Normalizer2* (*instance)(UErrorCode&))
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* found = instance(status);
    if (U_FAILURE(status)) {
        CFPlatform::fatal("CFStringCompare", "ICU normalization data is missing");
    }
    return *found;
}

// A set of code points described by an ICU pattern, built once and frozen for fast spans.
const icu::UnicodeSet& frozenSet(const char16_t* pattern)
{
    UErrorCode status = U_ZERO_ERROR;
    auto* set = new icu::UnicodeSet(icu::UnicodeString(pattern), status);
    if (U_FAILURE(status)) {
        CFPlatform::fatal("CFStringCompare", "ICU property data is missing");
    }
    set->freeze();
    return *set;
}

// Calls `outside` with each run of `text` outside `set`, and `inside` with each code point in it.
template <typename Outside, typename Inside>
void walkSpans(std::u16string_view text, const icu::UnicodeSet& set, Outside outside, Inside inside)
{
    size_t i = 0;
    while (i < text.size()) {
        auto run = static_cast<size_t>(
            set.span(text.data() + i, static_cast<int32_t>(text.size() - i), USET_SPAN_NOT_CONTAINED));
        outside(text.substr(i, run));
        i += run;
        if (i < text.size()) {
            size_t next = i;
            UChar32 c;
            U16_NEXT(text.data(), next, text.size(), c);
            inside(c, text.substr(i, next - i));
            i = next;
        }
    }
}

// Wide and narrow forms become their compatibility decomposition ("Ａ" becomes "A").
std::u16string foldWidth(std::u16string_view text)
{
    // Never destroyed: comparisons may run while static objects are torn down.
    static const icu::UnicodeSet& sWideOrNarrow = frozenSet(u"[[:dt=wide:][:dt=narrow:]]");
    const icu::Normalizer2& nfkd = normalizer(icu::Normalizer2::getNFKDInstance);
    std::u16string folded;
    folded.reserve(text.size());
    walkSpans(
        text, sWideOrNarrow, [&folded](std::u16string_view run) { folded.append(run); },
        [&folded, &nfkd](UChar32 c, std::u16string_view units) {
            icu::UnicodeString decomposition;
            if (nfkd.getRawDecomposition(c, decomposition)) {
                folded.append(decomposition.getBuffer(), static_cast<size_t>(decomposition.length()));
            } else {
                folded.append(units);
            }
        });
    return folded;
}

// Canonical decomposition without the non-spacing marks ("é" becomes "e").
std::u16string foldDiacritics(std::u16string_view text)
{
    static const icu::UnicodeSet& sNonSpacingMarks = frozenSet(u"[:Mn:]");
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString decomposed =
        normalizer(icu::Normalizer2::getNFDInstance)
            .normalize(icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size())), status);
    std::u16string folded;
    folded.reserve(static_cast<size_t>(decomposed.length()));
    walkSpans(
        std::u16string_view(decomposed.getBuffer(), static_cast<size_t>(decomposed.length())),
        sNonSpacingMarks, [&folded](std::u16string_view run) { folded.append(run); },
        [](UChar32, std::u16string_view) {});
    return folded;
}

char16_t lowerASCII(char16_t unit)
{
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
}

bool isASCII(std::u16string_view characters)
{
    return std::all_of(characters.begin(), characters.end(), [](char16_t unit) { return unit < 0x80; });
}

std::u16string foldCase(std::u16string_view text)
{
    icu::UnicodeString folded(text.data(), static_cast<int32_t>(text.size()));
    folded.foldCase(U_FOLD_CASE_DEFAULT);
    return std::u16string(folded.getBuffer(), static_cast<size_t>(folded.length()));
}

std::u16string fold(std::u16string_view characters, CFStringCompareFlags flags)
{
    // ASCII has no decompositions and no marks, and folds case by A-Z alone.
    if (isASCII(characters)) {
        std::u16string folded(characters);
        if (flags & kCFCompareCaseInsensitive) {
            std::transform(folded.begin(), folded.end(), folded.begin(), lowerASCII);
        }
        return folded;
    }
    std::u16string text(characters);
    if (flags & kCFCompareWidthInsensitive) {
        text = foldWidth(text);
    }
    if (flags & kCFCompareDiacriticInsensitive) {
        text = foldDiacritics(text);
    }
    if (flags & kCFCompareCaseInsensitive) {
        text = foldCase(text);
    }
    return text;
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

// Case-insensitive order, as ICU's default folding gives it. Folding maps each code point on its
// own, so equal units and ASCII letters equal but for case are passed here, and ICU folds only from
// the first other difference on.
CFComparisonResult compareCaseInsensitive(std::u16string_view a, std::u16string_view b)
{
    size_t common = std::min(a.size(), b.size());
    size_t i = firstDifference(a, b);
    for (; i < common; ++i) {
        if (a[i] == b[i]) {
            continue;
        }
        if (a[i] < 0x80 && b[i] < 0x80) {
            if (lowerASCII(a[i]) != lowerASCII(b[i])) {
                return signOf(static_cast<long>(lowerASCII(a[i])) - static_cast<long>(lowerASCII(b[i])));
            }
            continue;
        }
        break;
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
    std::u16string foldedA = folding ? fold(a, folding) : std::u16string(a);
    std::u16string foldedB = folding ? fold(b, folding) : std::u16string(b);
    if (numerically) {
        return compareNumerically(foldedA, foldedB);
    }
    return compareLiterally(foldedA, foldedB);
}
