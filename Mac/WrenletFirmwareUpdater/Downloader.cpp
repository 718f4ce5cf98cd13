#include "Downloader.h"

#include <Foundation/NSURLParts.h>
#include <Foundation/NSURLSession.h>

#include <AutoCFRef.h>

class Downloader::Delegate : public NS::URLSessionDataDelegate
{
public:
    Delegate(Downloader* owner, std::weak_ptr<Client> client, size_t limit)
        : fOwner(owner), fClient(std::move(client)), fLimit(limit)
    {}

    // The downloader is going away: nothing more reaches it.
    void Detach() { fOwner = nullptr; }

    void didReceiveResponse(NS::URLSession*, NS::URLSessionDataTask*, NS::HTTPURLResponse* response,
                            std::function<void(NS::URLSessionResponseDisposition)> completionHandler) override
    {
        fStatus = response->statusCode();
        const bool tooLong = response->expectedContentLength() > (long long)fLimit;
        fFailed = fFailed || tooLong;
        completionHandler(tooLong ? NS::URLSessionResponseCancel : NS::URLSessionResponseAllow);
    }

    void didReceiveData(NS::URLSession*, NS::URLSessionDataTask* task, CFDataRef data) override
    {
        const auto* bytes = CFDataGetBytePtr(data);
        fBody.insert(fBody.end(), bytes, bytes + CFDataGetLength(data));
        if (fBody.size() > fLimit) {
            fFailed = true;
            task->cancel();
        }
    }

    void willPerformHTTPRedirection(NS::URLSession*, NS::URLSessionDataTask* task,
                                    NS::HTTPURLResponse* response, NS::URLRequest* newRequest,
                                    std::function<void(NS::URLRequest*)> completionHandler) override
    {
        // A redirect may not take the download out of the scheme it started with, https above all.
        const auto_cfref<CFStringRef> from(NS::scheme(response->URL()));
        const auto_cfref<CFStringRef> to(NS::scheme(newRequest->URL()));
        if (from && to && CFEqual(from, to)) {
            completionHandler(newRequest);
            return;
        }
        fFailed = true;
        completionHandler(nullptr);
        task->cancel();
    }

    void didCompleteWithError(NS::URLSession*, NS::URLSessionDataTask*, NS::Error error) override
    {
        const std::shared_ptr<Client> client = fClient.lock();
        if (!client || !fOwner) {
            return;
        }
        if (error || fFailed) {
            client->DownloadFailed(*fOwner);
        } else {
            client->DownloadComplete(*fOwner, fStatus, std::move(fBody));
        }
    }

private:
    Downloader* fOwner;
    std::weak_ptr<Client> fClient;
    const size_t fLimit;
    long fStatus = 0;
    std::vector<uint8_t> fBody;
    bool fFailed = false;
};

Downloader::Downloader(std::weak_ptr<Client> client, CFURLRef url, size_t bodyLimit)
    : fURL(static_cast<CFURLRef>(CFRetain(url))),
      fDelegate(std::make_shared<Delegate>(this, std::move(client), bodyLimit))
{
    NS::URLSessionConfiguration* configuration = NS::URLSessionConfiguration::defaultSessionConfiguration();
    fSession = NS::URLSession::sessionWithConfiguration(configuration, fDelegate, dispatch_get_main_queue());
    configuration->release();
    fTask = fSession->dataTaskWithURL(fURL);
    fTask->resume();
}

Downloader::~Downloader()
{
    // On the main queue, like every delegate call, so detaching races nothing.
    fDelegate->Detach();
    fSession->invalidateAndCancel();
    fTask->release();
    fSession->release();
    CFRelease(fURL);
}
