#pragma once

// One plain HTTP GET through the platform's URL loading. The request starts at construction; the
// completion runs exactly once, on a URL-loading thread, with the status and body of a response, or
// with NoInternet when there was no whole response: none at all, a body cut short, a transfer
// cancelled, or one that reached the size limit. Destruction cancels the transfer and returns only
// after the completion has run.

#include <DownloadError.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

struct DownloadPayload
{
    int64_t statusCode = 0;
    std::string body;
};

using DownloadResult = std::variant<DownloadPayload, DownloadError::NoInternet>;

class DownloaderImpl
{
public:
    using Completion = std::function<void(DownloadResult)>;

    // A transfer whose announced length or received bytes reach `sizeLimit` is cancelled at once.
    DownloaderImpl(const std::string& url, Completion completion, uint64_t sizeLimit);
    ~DownloaderImpl();
    DownloaderImpl(const DownloaderImpl&) = delete;
    DownloaderImpl& operator=(const DownloaderImpl&) = delete;

    // Bytes received of the announced length, 0 while the length is unknown; 0 of 1 before the
    // response has begun; untouched when no request could be made. Any thread.
    void getProgress(unsigned long long& done, unsigned long long& total) const;

private:
    class Impl;
    std::shared_ptr<Impl> fImpl;
};
