#include <DownloadCache.h>

#include <USBUpdater.h>

#include <Foundation/NSURL.h>
#include <Foundation/NSURLParts.h>

#include <AutoCFRef.h>

#include <utility>

namespace {

// Nothing the updater may write reaches this size, so no transfer needs to.
constexpr uint64_t kSizeLimit = USBUpdater::kImageSizeLimit;

bool isSuccess(int64_t statusCode)
{
    return statusCode >= 200 && statusCode <= 299;
}

// Only an address that parses and names http or https is asked for.
bool isWebAddress(const std::string& address)
{
    const auto_cfref<CFStringRef> text(
        CFStringCreateWithCString(nullptr, address.c_str(), kCFStringEncodingUTF8));
    const auto_cfref<CFURLRef> url(text ? NS::URLWithString(text) : nullptr);
    const auto_cfref<CFStringRef> scheme(url ? NS::scheme(url) : nullptr);
    if (!scheme)
        return false;
    return CFStringCompare(scheme, CFSTR("http"), kCFCompareCaseInsensitive) == kCFCompareEqualTo ||
           CFStringCompare(scheme, CFSTR("https"), kCFCompareCaseInsensitive) == kCFCompareEqualTo;
}

// Answers every waiting caller in arrival order with its own copy, the list cleared first so that a
// caller asking again from its callback is answered from the kept result.
template <typename Result>
void answer(std::vector<std::function<void(Result)>>& callbacks, const Result& result)
{
    auto waiting = std::exchange(callbacks, {});
    for (auto& callback : waiting)
        callback(result);
}

} // namespace

DownloadCache* DownloadCache::Get()
{
    static DownloadCache cache(kVersionAddress);
    return &cache;
}

std::unique_ptr<Downloader<DownloadCache::Dispatcher>>
DownloadCache::fetchOverHTTP(Dispatcher* dispatcher, const std::string& url,
                             Downloader<Dispatcher>::Callback callback)
{
    return std::make_unique<Downloader<Dispatcher>>(dispatcher, url, std::move(callback), kSizeLimit);
}

DownloadCache::DownloadCache(const std::string& versionAddress, Fetch fetch)
    : fFetch(std::move(fetch)),
      fDispatcher(std::make_unique<Dispatcher>([](const Message& message) { message(); }))
{
    fJsonDownloader =
        download(versionAddress, &DownloadCache::jsonDownloadComplete, &DownloadCache::jsonDownloadFailed);
}

std::unique_ptr<Downloader<DownloadCache::Dispatcher>>
DownloadCache::download(const std::string& url, void (DownloadCache::*complete)(int64_t, const std::string&),
                        void (DownloadCache::*failed)(DownloadError::NoInternet))
{
    return fFetch(fDispatcher.get(), url, [this, complete, failed](DownloadResult result) {
        if (auto* payload = std::get_if<DownloadPayload>(&result))
            (this->*complete)(payload->statusCode, payload->body);
        else
            (this->*failed)(DownloadError::NoInternet{});
    });
}

void DownloadCache::getJsonDataAsync(std::function<void(JsonResult)> callback)
{
    if (fJsonResult) {
        callback(*fJsonResult);
        return;
    }
    fJsonCallbacks.push_back(std::move(callback));
}

std::optional<JsonData> DownloadCache::getJsonData() const
{
    if (fJsonResult && std::holds_alternative<JsonData>(*fJsonResult))
        return std::get<JsonData>(*fJsonResult);
    return std::nullopt;
}

void DownloadCache::acquireRunImageAsync(std::function<void(ImageResult)> callback)
{
    switch (fRunImageState) {
    case Done:
        callback(fRunImageResult);
        return;
    case InProgress:
        fRunImageCallbacks.push_back(std::move(callback));
        return;
    case NotRequested:
        fRunImageState = InProgress;
        fRunImageCallbacks.push_back(std::move(callback));
        getJsonDataAsync([this](const JsonResult& json) { startRunImageDownload(json); });
        return;
    }
}

DownloadCache::Image DownloadCache::getRunImage() const
{
    if (const auto* image = std::get_if<Image>(&fRunImageResult))
        return *image;
    return nullptr;
}

bool DownloadCache::getRunImageProgress(unsigned long long& done, unsigned long long& total) const
{
    if (!fRunImageDownloader)
        return false;
    fRunImageDownloader->getProgress(done, total);
    return true;
}

void DownloadCache::startRunImageDownload(const JsonResult& json)
{
    if (const auto* error = std::get_if<DownloadError>(&json)) {
        setRunImageResult(*error);
        return;
    }
    const std::string& address = std::get<JsonData>(json).image;
    if (!isWebAddress(address)) {
        setRunImageResult(DownloadError::NoInternet{});
        return;
    }
    fRunImageDownloader =
        download(address, &DownloadCache::runImageDownloadComplete, &DownloadCache::runImageDownloadFailed);
}

void DownloadCache::jsonDownloadComplete(int64_t statusCode, const std::string& body)
{
    if (isSuccess(statusCode))
        setJsonResult(JsonData(body));
    else
        setJsonResult(DownloadError::HTTPError{statusCode});
}

void DownloadCache::jsonDownloadFailed(DownloadError::NoInternet error)
{
    setJsonResult(error);
}

void DownloadCache::setJsonResult(JsonResult result)
{
    fJsonResult = std::move(result);
    answer(fJsonCallbacks, *fJsonResult);
}

void DownloadCache::runImageDownloadComplete(int64_t statusCode, const std::string& body)
{
    if (isSuccess(statusCode))
        setRunImageResult(std::make_shared<std::vector<uint8_t>>(body.begin(), body.end()));
    else
        setRunImageResult(DownloadError::HTTPError{statusCode});
}

void DownloadCache::runImageDownloadFailed(DownloadError::NoInternet error)
{
    setRunImageResult(error);
}

void DownloadCache::setRunImageResult(ImageResult result)
{
    fRunImageState = Done;
    fRunImageResult = std::move(result);
    answer(fRunImageCallbacks, fRunImageResult);
}
