#pragma once

// A download whose result is handed back on a chosen dispatcher's thread, and only while the
// downloader lives: a result posted during or after its destruction is dropped unseen.

#include <DownloaderMac.h>
#include <ZombieDetector.h>

#include <functional>
#include <memory>
#include <string>

template <typename Dispatcher>
class Downloader
{
public:
    using Callback = std::function<void(DownloadResult)>;

    // The request starts here; `callback` runs on the dispatcher's thread.
    Downloader(Dispatcher* dispatcher, const std::string& url, Callback callback, uint64_t sizeLimit)
        : fDispatcher(dispatcher), fCallback(std::move(callback)),
          fImpl(std::make_unique<DownloaderImpl>(
              url, [this](DownloadResult result) { completion(std::move(result)); }, sizeLimit))
    {}

    // The transfer goes first (declared last): it waits for its completion, whose posted result then
    // finds the flag expired.
    ~Downloader() = default;
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    void getProgress(unsigned long long& done, unsigned long long& total) const
    {
        fImpl->getProgress(done, total);
    }

private:
    // On a URL-loading thread. The result travels by pointer, so the message stays small.
    void completion(DownloadResult result)
    {
        auto shared = std::make_shared<DownloadResult>(std::move(result));
        std::weak_ptr<bool> alive = fZombieDetector.watch();
        fDispatcher->post([this, shared, alive] {
            if (alive.lock())
                fCallback(std::move(*shared));
        });
    }

    Dispatcher* fDispatcher;
    ZombieDetector fZombieDetector;
    Callback fCallback;
    std::unique_ptr<DownloaderImpl> fImpl;
};
