#pragma once

// The firmware server's answers, fetched once per process and kept: the version reply, asked for
// when the cache is made, and the run image, asked for on first demand from the address in that
// reply. Success or error, what arrived is the answer until the program ends. Everything runs on
// the thread that made the cache (the main thread); callers are answered in the order they asked.

#include <DownloadError.h>
#include <Downloader.h>
#include <JsonData.h>

#include <RunLoopDispatcher.h>
#include <WrappedLambda.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

class DownloadCache
{
public:
    using Image = std::shared_ptr<std::vector<uint8_t>>;
    using JsonResult = std::variant<JsonData, DownloadError>;
    using ImageResult = std::variant<Image, DownloadError>;
    using Message = vork::wrapped_lambda<void(), 1024, 8>;
    using Dispatcher = vork::RunLoopDispatcher<Message, 100>;

    static constexpr const char* kVersionAddress = "http://firmware.vork.example/api/device/Pyx/firmware";

    // The process-wide cache, made on the first call on the calling thread.
    static DownloadCache* Get();

    // Starts a GET of `url` whose result reaches `callback` on the dispatcher's thread; destroying
    // what it returns cancels the request. Tests may answer without a network.
    using Fetch = std::function<std::unique_ptr<Downloader<Dispatcher>>(
        Dispatcher* dispatcher, const std::string& url, Downloader<Dispatcher>::Callback callback)>;
    static std::unique_ptr<Downloader<Dispatcher>>
    fetchOverHTTP(Dispatcher* dispatcher, const std::string& url, Downloader<Dispatcher>::Callback callback);

    // Asks `versionAddress` for the version reply at once.
    explicit DownloadCache(const std::string& versionAddress, Fetch fetch = &fetchOverHTTP);
    DownloadCache(const DownloadCache&) = delete;
    DownloadCache& operator=(const DownloadCache&) = delete;

    // Answers at once when the reply is known, else once it arrives. Never starts a request.
    void getJsonDataAsync(std::function<void(JsonResult)> callback);
    std::optional<JsonData> getJsonData() const;
    // Joins the download in progress, or starts it on first demand, or answers with what is kept.
    void acquireRunImageAsync(std::function<void(ImageResult)> callback);
    // The image when the download gave one; empty before and after an error.
    Image getRunImage() const;
    // The run-image transfer's progress; false while there is none.
    bool getRunImageProgress(unsigned long long& done, unsigned long long& total) const;

private:
    enum RunImageState : int32_t
    {
        NotRequested = 0,
        InProgress = 1,
        Done = 2,
    };

    void jsonDownloadComplete(int64_t statusCode, const std::string& body);
    void jsonDownloadFailed(DownloadError::NoInternet);
    void runImageDownloadComplete(int64_t statusCode, const std::string& body);
    void runImageDownloadFailed(DownloadError::NoInternet);
    void setJsonResult(JsonResult result);
    void setRunImageResult(ImageResult result);
    void startRunImageDownload(const JsonResult& json);
    std::unique_ptr<Downloader<Dispatcher>>
    download(const std::string& url, void (DownloadCache::*complete)(int64_t, const std::string&),
             void (DownloadCache::*failed)(DownloadError::NoInternet));

    Fetch fFetch;
    std::unique_ptr<Dispatcher> fDispatcher;
    std::unique_ptr<Downloader<Dispatcher>> fJsonDownloader;
    std::unique_ptr<Downloader<Dispatcher>> fRunImageDownloader;
    std::vector<std::function<void(JsonResult)>> fJsonCallbacks;
    std::vector<std::function<void(ImageResult)>> fRunImageCallbacks;
    std::optional<JsonResult> fJsonResult;
    ImageResult fRunImageResult = Image();
    RunImageState fRunImageState = NotRequested;
};
