#include "String/StringFolding.h"

#include <CFPlatform/Object.h>

#include <algorithm>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

namespace CFPlatform {

namespace {

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

} // namespace

std::u16string foldForComparison(std::u16string_view characters, CFStringCompareFlags flags)
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

} // namespace CFPlatform
