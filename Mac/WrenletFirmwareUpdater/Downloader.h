// One HTTP GET for the updater, its completion on the main queue. The body is bounded, a redirect
// is followed only within the scheme it started with, and a transport failure, a refused redirect or
// a body over the limit end the download without a word. Destroying the downloader cancels its
// transfer; a client that has gone is not called.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace NS {
class URLSession;
class URLSessionDataTask;
} // namespace NS

class Downloader
{
public:
    class Client
    {
    public:
        virtual ~Client() = default;
        // On the main queue: the HTTP status and the whole body, whatever the status.
        virtual void DownloadComplete(Downloader& downloader, long statusCode, std::vector<uint8_t> body) = 0;
        // On the main queue: the download ended without a body to hand over.
        virtual void DownloadFailed(Downloader& downloader) = 0;
    };

    Downloader(std::weak_ptr<Client> client, CFURLRef url, size_t bodyLimit);
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    CFURLRef URL() const { return fURL; }

private:
    class Delegate;

    CFURLRef fURL;
    std::shared_ptr<Delegate> fDelegate;
    NS::URLSession* fSession = nullptr;
    NS::URLSessionDataTask* fTask = nullptr;
};
