#include "URLTransfer.h"

#include "URLLoadingSettings.h"

#include <Foundation/NSURLSession.h>

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace NSPlatform {

namespace {

constexpr const char* kSystemAuthorities = "/etc/ssl/certs/ca-certificates.crt";

std::string systemAuthorities()
{
    static const std::string pem = [] {
        std::ifstream in(kSystemAuthorities);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    return pem;
}

struct Transfer
{
    const TransferCallbacks& callbacks;
    ResponseHead head;
    bool headComplete = false;
    bool headDelivered = false;
    bool stopped = false;
};

bool deliverHead(Transfer& transfer)
{
    if (!transfer.headDelivered) {
        transfer.headDelivered = true;
        if (!transfer.head.isRedirect() && !transfer.callbacks.head(transfer.head)) {
            transfer.stopped = true;
            return false;
        }
    }
    return true;
}

size_t onHeader(char* data, size_t size, size_t count, void* context)
{
    auto& transfer = *static_cast<Transfer*>(context);
    const std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new response head (after an interim one, say): start over.
        transfer.head = {};
        const size_t space = line.find(' ');
        transfer.head.status =
            space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
    } else if (line == "\r\n" || line == "\n") {
        transfer.headComplete = true;
    } else {
        const size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            c = char(std::tolower(static_cast<unsigned char>(c)));
        }
        std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r\n") + 1);
        if (name == "content-length") {
            transfer.head.contentLength = std::strtoll(value.c_str(), nullptr, 10);
        } else if (name == "location") {
            transfer.head.location = value;
        }
    }
    return size * count;
}

size_t onBody(char* data, size_t size, size_t count, void* context)
{
    auto& transfer = *static_cast<Transfer*>(context);
    if (transfer.head.isRedirect()) {
        return size * count;
    }
    if (!deliverHead(transfer) || !transfer.callbacks.data(data, size * count)) {
        transfer.stopped = true;
        return 0;
    }
    return size * count;
}

int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto& transfer = *static_cast<Transfer*>(context);
    return transfer.callbacks.cancelled() ? 1 : 0;
}

long errorFor(CURLcode code)
{
    switch (code) {
    case CURLE_OK:
        return 0;
    case CURLE_ABORTED_BY_CALLBACK:
    case CURLE_WRITE_ERROR:
        return NS::NSURLErrorCancelled;
    case CURLE_OPERATION_TIMEDOUT:
        return NS::NSURLErrorTimedOut;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return NS::NSURLErrorUnsupportedURL;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
        return NS::NSURLErrorCannotConnectToHost;
    case CURLE_SSL_CONNECT_ERROR:
        return NS::NSURLErrorSecureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return NS::NSURLErrorServerCertificateUntrusted;
    default:
        return NS::NSURLErrorNetworkConnectionLost;
    }
}

} // namespace

bool ResponseHead::isRedirect() const
{
    return (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) &&
           !location.empty();
}

TransferResult performGet(const std::string& url, double timeoutSeconds, const TransferCallbacks& callbacks)
{
    static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)initialized;
    const URLLoadingSettings settings = urlLoadingSettings();
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    curl_slist* connectTo = nullptr;
    for (const std::string& entry : settings.connectTo) {
        connectTo = curl_slist_append(connectTo, entry.c_str());
    }
    const std::string authorities = systemAuthorities() + settings.extraAuthorities;
    curl_blob blob{const_cast<char*>(authorities.data()), authorities.size(), CURL_BLOB_COPY};
    // Progress stalls for this long, at less than a byte a second, count as a time-out.
    const long seconds = std::max(1L, long(std::ceil(timeoutSeconds)));

    Transfer transfer{callbacks, {}, false, false, false};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECT_TO, connectTo);
    curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, seconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, seconds);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    const CURLcode code = curl_easy_perform(handle);
    curl_slist_free_all(connectTo);

    TransferResult result;
    result.head = transfer.head;
    result.error = transfer.stopped ? NS::NSURLErrorCancelled : errorFor(code);
    // A response without a body still shows its head.
    if (result.error == 0 && !deliverHead(transfer)) {
        result.error = NS::NSURLErrorCancelled;
    }
    return result;
}

} // namespace NSPlatform
