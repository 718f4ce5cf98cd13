#pragma once

// HTTP/1.1 GETs with libcurl, redirects not followed: the response's head, then its body in pieces,
// through callbacks on the calling thread. A transfer loop belongs to one session and runs one
// transfer at a time on that session's worker; any thread may wake it, so a cancellation takes effect
// at once rather than at libcurl's next progress report.

#include <functional>
#include <string>

namespace NSPlatform {

struct ResponseHead
{
    long status = 0;
    long long contentLength = -1;
    std::string location;
    bool isRedirect() const;
};

struct TransferCallbacks
{
    // Once, before any body; false stops the transfer as cancelled.
    std::function<bool(const ResponseHead&)> head;
    // false stops the transfer as cancelled.
    std::function<bool(const char* data, size_t length)> data;
    std::function<bool()> cancelled;
};

struct TransferResult
{
    // 0, or the NSURLErrorDomain code of the failure.
    long error = 0;
    ResponseHead head;
};

class TransferLoop
{
public:
    // The first loop of the process sets libcurl up, on the calling thread.
    TransferLoop();
    ~TransferLoop();
    TransferLoop(const TransferLoop&) = delete;
    TransferLoop& operator=(const TransferLoop&) = delete;

    TransferResult get(const std::string& url, double timeoutSeconds, const TransferCallbacks& callbacks);

    // From any thread: the running transfer asks its `cancelled` callback again now.
    void wake();

private:
    void* fMulti;
};

} // namespace NSPlatform
