// The firmware server's replies from outside, through the version reply's substring search and the
// download cache's completion handlers, with no network: the input decides the version reply's
// status and body (raw, or a well-formed reply around two texts it holds), how many callers wait,
// and the run image's answer. The values are the bytes after their markers; every waiting caller
// is answered exactly once, later ones at once; no request goes to an address that is not http or
// https.

#include <DownloadCache.h>
#include <JsonData.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void fail(const char* what)
{
    std::fprintf(stderr, "pyx_server_reply: %s\n", what);
    std::abort();
}

// A reader over the input that gives zeros once it runs out.
class Input
{
public:
    Input(const uint8_t* data, size_t size) : fData(data), fSize(size) {}
    uint8_t byte() { return fAt < fSize ? fData[fAt++] : 0; }
    int status() { return (byte() << 8 | byte()) % 700; }
    std::string rest()
    {
        std::string text(reinterpret_cast<const char*>(fData) + fAt, fSize - fAt);
        fAt = fSize;
        return text;
    }

private:
    const uint8_t* fData;
    size_t fSize;
    size_t fAt = 0;
};

// The value is what follows the marker up to the next quote, or nothing without both.
void checkValue(const std::string& body, const std::string& marker, const std::string& value)
{
    if (value.empty())
        return;
    if (value.find('"') != std::string::npos || body.find(marker + value + "\"") == std::string::npos)
        fail("a value that is not the bytes after its marker");
}

bool isWebScheme(const std::string& url)
{
    const size_t colon = url.find(':');
    std::string scheme = url.substr(0, colon == std::string::npos ? 0 : colon);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return scheme == "http" || scheme == "https";
}

struct Request
{
    std::string url;
    Downloader<DownloadCache::Dispatcher>::Callback callback;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input input(data, size);
    const int versionStatus = input.status();
    const int imageStatus = input.status();
    const uint8_t shape = input.byte();
    const size_t waiters = 1 + shape % 4;
    const bool wellFormed = shape & 0x10;
    const bool imageAnswered = shape & 0x20;
    std::string body = input.rest();
    if (wellFormed) {
        const size_t split = std::min(body.find('\0'), body.size());
        const std::string version = body.substr(0, split);
        const std::string image = split < body.size() ? body.substr(split + 1) : std::string();
        body = "{\"version\": \"" + version + "\", \"image\": \"" + image + "\"}";
    }

    const JsonData json(body);
    checkValue(body, "\"version\": \"", json.version);
    checkValue(body, "\"image\": \"", json.image);

    std::vector<Request> requests;
    DownloadCache cache("http://firmware.vork.example/api/device/Pyx/firmware",
                        [&](DownloadCache::Dispatcher*, const std::string& url, auto callback) {
                            requests.push_back({url, std::move(callback)});
                            return nullptr;
                        });
    std::vector<int> jsonAnswers(waiters + 1, 0);
    std::vector<int> imageAnswers(waiters + 1, 0);
    for (size_t waiter = 0; waiter < waiters; ++waiter) {
        cache.getJsonDataAsync([&, waiter](DownloadCache::JsonResult) { ++jsonAnswers[waiter]; });
        cache.acquireRunImageAsync([&, waiter](DownloadCache::ImageResult) { ++imageAnswers[waiter]; });
    }
    if (requests.size() != 1)
        fail("not exactly one version request");
    requests[0].callback(DownloadPayload{versionStatus, body});
    if (requests.size() > 2)
        fail("more than one run-image request");
    const bool success = versionStatus >= 200 && versionStatus <= 299;
    if (requests.size() == 2 && (!success || !isWebScheme(requests[1].url) || requests[1].url != json.image))
        fail("a run-image request for an address that is not the reply's web address");
    if (requests.size() == 2) {
        if (imageAnswered)
            requests[1].callback(DownloadPayload{imageStatus, body});
        else
            requests[1].callback(DownloadError::NoInternet{});
    }
    cache.getJsonDataAsync([&](DownloadCache::JsonResult) { ++jsonAnswers[waiters]; });
    cache.acquireRunImageAsync([&](DownloadCache::ImageResult) { ++imageAnswers[waiters]; });
    for (size_t waiter = 0; waiter <= waiters; ++waiter) {
        if (jsonAnswers[waiter] != 1)
            fail("a version waiter not answered exactly once");
        if (imageAnswers[waiter] != 1)
            fail("a run-image waiter not answered exactly once");
    }
    const auto kept = cache.getRunImage();
    const bool imageSuccess = imageAnswered && imageStatus >= 200 && imageStatus <= 299;
    if (kept && (requests.size() != 2 || !imageSuccess || std::string(kept->begin(), kept->end()) != body))
        fail("an image kept that is not the body of a successful reply");
    return 0;
}
