// utf_convert: utf8_to_utf16 and utf16_to_utf8 on about 1 MB of ASCII, accented Latin, CJK and emoji
// text, against ICU's u_strFromUTF8 and u_strToUTF8 into a reused buffer of worst-case size.
// utf_convert_iconv: the same conversions against glibc iconv (UTF-8 to UTF-16LE and back).

#include "UString/UtfConvert.h"

#include <benchmark/benchmark.h>
#include <iconv.h>
#include <unicode/ustring.h>

#include <string>

namespace {

constexpr std::size_t kTextBytes = 1 << 20;

struct Script
{
    const char* name;
    const char* sample;
};

const Script kScripts[] = {
    {"ascii", "The quick brown fox jumps over the lazy dog. 0123456789\n"},
    {"latin", "Gr\xC3\xBC\xC3\x9F"
              "e aus K\xC3\xB6ln, \xC3\xA9t\xC3\xA9 \xC3\xA0 Z\xC3\xBCrich, se\xC3\xB1or. "},
    {"cjk",
     "\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAE\xE5\xA4\x8F\xE3\x81\xAF\xE6\x9A\x91\xE3\x81\x84\xE3\x80\x82"},
    {"emoji", "\xF0\x9F\x98\x80\xF0\x9F\x8E\xB5\xF0\x9F\x8E\xB8\xF0\x9F\x8E\xB9"},
};

// The sample repeated to about kTextBytes, whole samples only.
std::string utf8Of(const Script& script)
{
    const std::string sample = script.sample;
    std::string text;
    while (text.size() + sample.size() <= kTextBytes) {
        text += sample;
    }
    return text;
}

UTF16String utf16Of(const std::string& utf8)
{
    UTF16String units;
    utf8_to_utf16(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size(), units);
    return units;
}

void toUtf16Ours(benchmark::State& state, const std::string& text)
{
    UTF16String out;
    for (auto _ : state) {
        utf8_to_utf16(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void toUtf16ICU(benchmark::State& state, const std::string& text)
{
    std::u16string out(text.size(), u'\0');
    for (auto _ : state) {
        int32_t length = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strFromUTF8(out.data(), int32_t(out.size()), &length, text.data(), int32_t(text.size()), &status);
        benchmark::DoNotOptimize(length);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void toUtf8Ours(benchmark::State& state, const UTF16String& units)
{
    std::string out;
    for (auto _ : state) {
        utf16_to_utf8(units.data(), units.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(units.size() * 2));
}

void toUtf8ICU(benchmark::State& state, const UTF16String& units)
{
    std::string out(3 * units.size(), '\0');
    const std::u16string source(units.begin(), units.end());
    for (auto _ : state) {
        int32_t length = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strToUTF8(out.data(), int32_t(out.size()), &length, source.data(), int32_t(source.size()), &status);
        benchmark::DoNotOptimize(length);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(units.size() * 2));
}

// Converts `size` bytes at `in` with a converter opened once; the output buffer is reused.
void convertWithIconv(benchmark::State& state, const char* to, const char* from, const char* in,
                      std::size_t size, std::size_t worstCase)
{
    const iconv_t converter = iconv_open(to, from);
    std::string out(worstCase, '\0');
    for (auto _ : state) {
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
        char* inp = const_cast<char*>(in);
        std::size_t inLeft = size;
        char* outp = out.data();
        std::size_t outLeft = out.size();
        iconv(converter, &inp, &inLeft, &outp, &outLeft);
        benchmark::DoNotOptimize(outp);
    }
    iconv_close(converter);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void toUtf16Iconv(benchmark::State& state, const std::string& text)
{
    convertWithIconv(state, "UTF-16LE", "UTF-8", text.data(), text.size(), 2 * text.size());
}

void toUtf8Iconv(benchmark::State& state, const UTF16String& units)
{
    convertWithIconv(state, "UTF-8", "UTF-16LE", reinterpret_cast<const char*>(units.data()),
                     units.size() * 2, 3 * units.size());
}

} // namespace

int main(int argc, char** argv)
{
    for (const Script& script : kScripts) {
        const std::string utf8 = utf8Of(script);
        const UTF16String utf16 = utf16Of(utf8);
        const std::string to16 = std::string("/to_utf16/") + script.name;
        const std::string to8 = std::string("/to_utf8/") + script.name;
        benchmark::RegisterBenchmark(("utf_convert/ours" + to16).c_str(), toUtf16Ours, utf8);
        benchmark::RegisterBenchmark(("utf_convert/peer" + to16).c_str(), toUtf16ICU, utf8);
        benchmark::RegisterBenchmark(("utf_convert/ours" + to8).c_str(), toUtf8Ours, utf16);
        benchmark::RegisterBenchmark(("utf_convert/peer" + to8).c_str(), toUtf8ICU, utf16);
        benchmark::RegisterBenchmark(("utf_convert_iconv/ours" + to16).c_str(), toUtf16Ours, utf8);
        benchmark::RegisterBenchmark(("utf_convert_iconv/peer" + to16).c_str(), toUtf16Iconv, utf8);
        benchmark::RegisterBenchmark(("utf_convert_iconv/ours" + to8).c_str(), toUtf8Ours, utf16);
        benchmark::RegisterBenchmark(("utf_convert_iconv/peer" + to8).c_str(), toUtf8Iconv, utf16);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
