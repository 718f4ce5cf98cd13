// The mixer's payloads: Base64 through NS::Data (the shared encoder of records, presets and
// property lists) against OpenSSL's EVP_EncodeBlock, and the query-set percent-encoding of a 1 MiB
// preset against libcurl's curl_easy_escape.
//
// Pairs:
//   mixer_base64/ours/4KiB, 1MiB     goal: at most the peer's time (bench/goals.txt); 64B for
//                                    information
//   mixer_percent/ours/ascii, mixed  a 1 MiB preset, ASCII and 30% non-ASCII; printed beside the
//                                    peer without a goal (libcurl escapes more characters)

#include <Foundation/NSData.h>
#include <Foundation/NSString.h>

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <openssl/evp.h>

#include <random>
#include <string>

namespace {

std::string randomBytes(size_t size)
{
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

// A preset text of `size` bytes, `nonAsciiPercent` of its characters two-byte ones.
std::string presetText(size_t size, int nonAsciiPercent)
{
    std::mt19937 random(11);
    const std::string ascii = "kAPIVersion=1&gain=+3&pan=-12&name=Desk 1&mute=0;";
    std::string text;
    while (text.size() < size) {
        if (int(random() % 100) < nonAsciiPercent) {
            text += "\xC3\xA9";
        } else {
            text += ascii[random() % ascii.size()];
        }
    }
    return text;
}

void base64Ours(benchmark::State& state, size_t size)
{
    const std::string bytes = randomBytes(size);
    NS::Data* data = NS::Data::dataWithBytes(bytes.data(), bytes.size());
    for (auto _ : state) {
        NS::String text = data->base64EncodedStringWithOptions(0);
        benchmark::DoNotOptimize(text);
        CFRelease(text);
    }
    data->release();
    state.SetBytesProcessed(int64_t(state.iterations() * size));
}

void base64Peer(benchmark::State& state, size_t size)
{
    const std::string bytes = randomBytes(size);
    for (auto _ : state) {
        std::string text((size + 2) / 3 * 4 + 1, '\0');
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * size));
}

void percentOurs(benchmark::State& state, int nonAsciiPercent)
{
    NS::String text = NS::createStringWithUTF8(presetText(1 << 20, nonAsciiPercent));
    for (auto _ : state) {
        NS::String escaped = NS::stringByAddingPercentEncodingWithAllowedCharacters(
            text, NS::CharacterSet::URLQueryAllowedCharacterSet());
        benchmark::DoNotOptimize(escaped);
        CFRelease(escaped);
    }
    CFRelease(text);
    state.SetBytesProcessed(int64_t(state.iterations() << 20));
}

void percentPeer(benchmark::State& state, int nonAsciiPercent)
{
    const std::string text = presetText(1 << 20, nonAsciiPercent);
    CURL* curl = curl_easy_init();
    for (auto _ : state) {
        char* escaped = curl_easy_escape(curl, text.data(), int(text.size()));
        benchmark::DoNotOptimize(escaped);
        curl_free(escaped);
    }
    curl_easy_cleanup(curl);
    state.SetBytesProcessed(int64_t(state.iterations() << 20));
}

} // namespace

BENCHMARK_CAPTURE(base64Ours, 64B, 64)->Name("mixer_base64/ours/64B");
BENCHMARK_CAPTURE(base64Peer, 64B, 64)->Name("mixer_base64/peer/64B");
BENCHMARK_CAPTURE(base64Ours, 4KiB, 4096)->Name("mixer_base64/ours/4KiB");
BENCHMARK_CAPTURE(base64Peer, 4KiB, 4096)->Name("mixer_base64/peer/4KiB");
BENCHMARK_CAPTURE(base64Ours, 1MiB, 1 << 20)->Name("mixer_base64/ours/1MiB");
BENCHMARK_CAPTURE(base64Peer, 1MiB, 1 << 20)->Name("mixer_base64/peer/1MiB");
BENCHMARK_CAPTURE(percentOurs, ascii, 0)->Name("mixer_percent/ours/ascii");
BENCHMARK_CAPTURE(percentPeer, ascii, 0)->Name("mixer_percent/peer/ascii");
BENCHMARK_CAPTURE(percentOurs, mixed, 30)->Name("mixer_percent/ours/mixed");
BENCHMARK_CAPTURE(percentPeer, mixed, 30)->Name("mixer_percent/peer/mixed");

BENCHMARK_MAIN();
