#pragma once

// One HTTP/1.1 GET with libcurl, redirects not followed: the response's head, then its body in
// pieces, through callbacks on the calling thread.

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

TransferResult performGet(const std::string& url, double timeoutSeconds, const TransferCallbacks& callbacks);

} // namespace NSPlatform
