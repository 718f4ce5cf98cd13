// cfstring_utf8: a CFString made from UTF-8 and its characters read back, against ICU's
// u_strFromUTF8 into a freshly allocated buffer and a copy out of it.
// cfstring_compare: CFStringCompare literal and case-insensitive, against ICU's u_strCompare and
// u_strCaseCompare on the same UTF-16 texts.

#include <CoreFoundation/CoreFoundation.h>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <vector>

namespace {

struct Script
{
    const char* name;
    const char* sample;
};

// Each sample is repeated up to the text's size in bytes, cut at a character boundary.
const Script kScripts[] = {
    {"ascii", "The quick brown fox jumps over the lazy dog. "},
    {"latin", "Gr\xC3\xBC\xC3\x9F"
              "e aus K\xC3\xB6ln, \xC3\xA9t\xC3\xA9 \xC3\xA0 Z\xC3\xBCrich. "},
    {"cjk", "\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAE\xE5\xA4\x8F\xE3\x81\xAF\xE6\x9A\x91\xE3\x81\x84"},
    {"emoji", "\xF0\x9F\x98\x80\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB8\xF0\x9F\x8E\xB9"},
};

std::string textOf(const Script& script, size_t bytes)
{
    std::string text;
    std::string sample = script.sample;
    while (text.size() < bytes) {
        text += sample;
    }
    size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

std::u16string utf16Of(const std::string& utf8)
{
    std::u16string units(utf8.size(), u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(units.data(), static_cast<int32_t>(units.size()), &length, utf8.data(),
                  static_cast<int32_t>(utf8.size()), &status);
    units.resize(static_cast<size_t>(length));
    return units;
}

void utf8Ours(benchmark::State& state, const Script& script, size_t bytes)
{
    std::string text = textOf(script, bytes);
    std::vector<UniChar> out(text.size());
    for (auto _ : state) {
        CFStringRef string =
            CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                    static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
        CFStringGetCharacters(string, CFRangeMake(0, CFStringGetLength(string)), out.data());
        benchmark::DoNotOptimize(out.data());
        CFRelease(string);
    }
}

void utf8Peer(benchmark::State& state, const Script& script, size_t bytes)
{
    std::string text = textOf(script, bytes);
    std::vector<UChar> out(text.size());
    for (auto _ : state) {
        auto* units = static_cast<UChar*>(std::malloc(text.size() * sizeof(UChar)));
        int32_t length = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strFromUTF8(units, static_cast<int32_t>(text.size()), &length, text.data(),
                      static_cast<int32_t>(text.size()), &status);
        std::memcpy(out.data(), units, static_cast<size_t>(length) * sizeof(UChar));
        benchmark::DoNotOptimize(out.data());
        std::free(units);
    }
}

// The second text differs from the first in its last character only, and for the case-insensitive
// comparison it is in upper case where the script has case, so both comparisons walk the whole text.
std::pair<std::u16string, std::u16string> comparedTexts(const Script& script, size_t bytes,
                                                        bool caseInsensitive)
{
    std::u16string a = utf16Of(textOf(script, bytes));
    std::u16string b = a;
    if (caseInsensitive) {
        for (char16_t& unit : b) {
            unit = static_cast<char16_t>(u_toupper(unit));
        }
    }
    b.back() = static_cast<char16_t>(b.back() + 1);
    return {a, b};
}

CFStringRef stringOf(const std::u16string& units)
{
    return CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(units.data()),
                                        static_cast<CFIndex>(units.size()));
}

void compareOurs(benchmark::State& state, const Script& script, size_t bytes, CFStringCompareFlags flags)
{
    auto [a, b] = comparedTexts(script, bytes, flags & kCFCompareCaseInsensitive);
    CFStringRef first = stringOf(a);
    CFStringRef second = stringOf(b);
    for (auto _ : state) {
        benchmark::DoNotOptimize(CFStringCompare(first, second, flags));
    }
    CFRelease(first);
    CFRelease(second);
}

void comparePeer(benchmark::State& state, const Script& script, size_t bytes, CFStringCompareFlags flags)
{
    auto [a, b] = comparedTexts(script, bytes, flags & kCFCompareCaseInsensitive);
    auto length = [](const std::u16string& s) { return static_cast<int32_t>(s.size()); };
    for (auto _ : state) {
        if (flags & kCFCompareCaseInsensitive) {
            UErrorCode status = U_ZERO_ERROR;
            benchmark::DoNotOptimize(
                u_strCaseCompare(a.data(), length(a), b.data(), length(b), U_FOLD_CASE_DEFAULT, &status));
        } else {
            benchmark::DoNotOptimize(u_strCompare(a.data(), length(a), b.data(), length(b), false));
        }
    }
}

void registerAll()
{
    for (const Script& script : kScripts) {
        for (size_t bytes : {16, 4096}) {
            std::string text = std::string(script.name) + "_" + std::to_string(bytes);
            benchmark::RegisterBenchmark(("cfstring_utf8/ours/" + text).c_str(), utf8Ours, script, bytes);
            benchmark::RegisterBenchmark(("cfstring_utf8/peer/" + text).c_str(), utf8Peer, script, bytes);
            for (CFStringCompareFlags flags :
                 {CFStringCompareFlags{0}, CFStringCompareFlags{kCFCompareCaseInsensitive}}) {
                std::string variant = (flags ? "case_insensitive_" : "literal_") + text;
                benchmark::RegisterBenchmark(("cfstring_compare/ours/" + variant).c_str(), compareOurs,
                                             script, bytes, flags);
                benchmark::RegisterBenchmark(("cfstring_compare/peer/" + variant).c_str(), comparePeer,
                                             script, bytes, flags);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
