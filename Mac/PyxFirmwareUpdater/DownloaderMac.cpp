#include <DownloaderMac.h>

#include <Foundation/NSURL.h>
#include <Foundation/NSURLSession.h>

#include <AutoCFRef.h>

// The session's delegate, shared with the session so that it outlives whichever of the two lets go
// last. It only fills its own fields and signals the end.
class DownloaderImpl::Impl : public NS::URLSessionDataDelegate
{
public:
    Impl(Completion completion, uint64_t sizeLimit)
        : fCompletion(std::move(completion)), fSizeLimit(sizeLimit)
    {}

    void didReceiveResponse(NS::URLSession*, NS::URLSessionDataTask*, NS::HTTPURLResponse* response,
                            std::function<void(NS::URLSessionResponseDisposition)> completionHandler) override
    {
        fStatus = response->statusCode();
        fHasResponse = true;
        const long long announced = response->expectedContentLength();
        const bool tooLong = announced >= 0 && uint64_t(announced) >= fSizeLimit;
        fTooLong = tooLong;
        if (announced > 0 && !tooLong)
            fBody.reserve(size_t(announced));
        completionHandler(tooLong ? NS::URLSessionResponseCancel : NS::URLSessionResponseAllow);
    }

    void didReceiveData(NS::URLSession*, NS::URLSessionDataTask* task, CFDataRef data) override
    {
        const auto length = size_t(CFDataGetLength(data));
        if (fTooLong || fBody.size() + length >= fSizeLimit) {
            fTooLong = true;
            task->cancel();
            return;
        }
        const auto* bytes = reinterpret_cast<const char*>(CFDataGetBytePtr(data));
        fBody.append(bytes, length);
    }

    void didCompleteWithError(NS::URLSession*, NS::URLSessionDataTask*, NS::Error error) override
    {
        // A response that came with an error (a body cut short, a time-out) is no whole response.
        if (error || fTooLong || !fHasResponse)
            finish(DownloadError::NoInternet{});
        else
            finish(DownloadPayload{fStatus, std::move(fBody)});
    }

    void finish(DownloadResult result)
    {
        if (fCompletion)
            fCompletion(std::move(result));
        std::lock_guard lock(fMutex);
        fFinished = true;
        fFinishedCondition.notify_all();
    }

    void waitAndForget()
    {
        std::unique_lock lock(fMutex);
        fFinishedCondition.wait(lock, [&] { return fFinished; });
        fCompletion = nullptr;
    }

    NS::URLSession* fSession = nullptr;
    NS::URLSessionDataTask* fTask = nullptr;

private:
    Completion fCompletion;
    const uint64_t fSizeLimit;
    std::mutex fMutex;
    std::condition_variable fFinishedCondition;
    bool fFinished = false;
    // Written on the URL-loading thread only.
    int64_t fStatus = 0;
    bool fHasResponse = false;
    bool fTooLong = false;
    std::string fBody;
};

DownloaderImpl::DownloaderImpl(const std::string& url, Completion completion, uint64_t sizeLimit)
    : fImpl(std::make_shared<Impl>(std::move(completion), sizeLimit))
{
    const auto_cfref<CFStringRef> text(
        CFStringCreateWithCString(nullptr, url.c_str(), kCFStringEncodingUTF8));
    const auto_cfref<CFURLRef> address(text ? NS::URLWithString(text) : nullptr);
    if (!address) {
        fImpl->finish(DownloadError::NoInternet{});
        return;
    }
    NS::URLSessionConfiguration* configuration = NS::URLSessionConfiguration::defaultSessionConfiguration();
    fImpl->fSession = NS::URLSession::sessionWithConfiguration(configuration, fImpl, nullptr);
    configuration->release();
    fImpl->fTask = fImpl->fSession->dataTaskWithURL(address);
    fImpl->fTask->resume();
    fImpl->fSession->finishTasksAndInvalidate();
}

DownloaderImpl::~DownloaderImpl()
{
    if (fImpl->fTask)
        fImpl->fTask->cancel();
    fImpl->waitAndForget();
    if (fImpl->fTask)
        fImpl->fTask->release();
    if (fImpl->fSession)
        fImpl->fSession->release();
}

void DownloaderImpl::getProgress(unsigned long long& done, unsigned long long& total) const
{
    if (!fImpl->fTask)
        return;
    const NS::Progress* progress = fImpl->fTask->progress();
    done = progress ? static_cast<unsigned long long>(progress->completedUnitCount()) : 0;
    total = progress ? static_cast<unsigned long long>(progress->totalUnitCount()) : 1;
}
