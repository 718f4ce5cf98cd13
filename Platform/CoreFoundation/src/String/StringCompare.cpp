#include "String/StringObject.h"

#include <string>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

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

// Wide and narrow forms become their compatibility decomposition ("Ａ" becomes "A").
icu::UnicodeString foldWidth(const icu::UnicodeString& text)
{
    const icu::Normalizer2& nfkd = normalizer(icu::Normalizer2::getNFKDInstance);
    icu::UnicodeString folded;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        UChar32 c = text.char32At(i);
        auto type = static_cast<UDecompositionType>(u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE));
        icu::UnicodeString decomposition;
        if ((type == U_DT_WIDE || type == U_DT_NARROW) && nfkd.getRawDecomposition(c, decomposition)) {
            folded.append(decomposition);
        } else {
            folded.append(c);
        }
    }
    return folded;
}

// Canonical decomposition without the non-spacing marks ("é" becomes "e").
icu::UnicodeString foldDiacritics(const icu::UnicodeString& text)
{
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString decomposed = normalizer(icu::Normalizer2::getNFDInstance).normalize(text, status);
    icu::UnicodeString folded;
    for (int32_t i = 0; i < decomposed.length(); i = decomposed.moveIndex32(i, 1)) {
        UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) {
            folded.append(c);
        }
    }
    return folded;
}

std::u16string fold(std::u16string_view characters, CFStringCompareFlags flags)
{
    icu::UnicodeString text(characters.data(), static_cast<int32_t>(characters.size()));
    if (flags & kCFCompareWidthInsensitive) {
        text = foldWidth(text);
    }
    if (flags & kCFCompareDiacriticInsensitive) {
        text = foldDiacritics(text);
    }
    if (flags & kCFCompareCaseInsensitive) {
        text.foldCase(U_FOLD_CASE_DEFAULT);
    }
    return std::u16string(text.getBuffer(), static_cast<size_t>(text.length()));
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

} // namespace

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions)
{
    std::u16string_view a = CFPlatform::charactersOf(theString1, "CFStringCompare");
    std::u16string_view b = CFPlatform::charactersOf(theString2, "CFStringCompare");
    CFStringCompareFlags folding = compareOptions & kFoldingFlags;
    bool numerically = compareOptions & kCFCompareNumerically;
    if (!numerically && folding == 0) {
        return signOf(a.compare(b));
    }
    if (!numerically && folding == kCFCompareCaseInsensitive) {
        UErrorCode status = U_ZERO_ERROR;
        return signOf(u_strCaseCompare(a.data(), static_cast<int32_t>(a.size()), b.data(),
                                       static_cast<int32_t>(b.size()), U_FOLD_CASE_DEFAULT, &status));
    }
    std::u16string foldedA = folding ? fold(a, folding) : std::u16string(a);
    std::u16string foldedB = folding ? fold(b, folding) : std::u16string(b);
    if (numerically) {
        return compareNumerically(foldedA, foldedB);
    }
    return signOf(std::u16string_view(foldedA).compare(foldedB));
}
