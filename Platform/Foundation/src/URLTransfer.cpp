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
// The longest a transfer loop sleeps without being woken; libcurl's own timers cut it shorter.
constexpr int kPollMilliseconds = 1000;

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

// Once per process, before any worker starts: libcurl, with OpenSSL under it, and the values its
// transfers read, so all of them exist before anything that stops the workers at exit is registered.
void prepareLibcurl()
{
    static const bool prepared = [] {
        const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        systemAuthorities();
        urlLoadingSettings();
        return initialized;
    }();
    (void)prepared;
}

TransferLoop::TransferLoop()
{
    prepareLibcurl();
    fMulti = curl_multi_init();
}

TransferLoop::~TransferLoop()
{
    curl_multi_cleanup(static_cast<CURLM*>(fMulti));
}

void TransferLoop::wake()
{
    curl_multi_wakeup(static_cast<CURLM*>(fMulti));
}

TransferResult TransferLoop::get(const std::string& url, double timeoutSeconds,
                                 const TransferCallbacks& callbacks)
{
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
    // Nothing comes from the environment: no proxy it names is used.
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    // Every encoding libcurl decodes is offered, and the body arrives decoded.
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    // A cancelled transfer does not wait for a name lookup still in progress.
    curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L);
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

    auto* multi = static_cast<CURLM*>(fMulti);
    curl_multi_add_handle(multi, handle);
    bool cancelled = false;
    for (;;) {
        int running = 0;
        curl_multi_perform(multi, &running);
        if (running == 0) {
            break;
        }
        if (callbacks.cancelled()) {
            cancelled = true;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, kPollMilliseconds, nullptr);
    }
    CURLcode code = CURLE_OK;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == handle) {
            code = message->data.result;
        }
    }
    curl_multi_remove_handle(multi, handle);
    curl_slist_free_all(connectTo);

    TransferResult result;
    result.head = transfer.head;
    result.error = transfer.stopped || cancelled ? NS::NSURLErrorCancelled : errorFor(code);
    // A response without a body still shows its head.
    if (result.error == 0 && !deliverHead(transfer)) {
        result.error = NS::NSURLErrorCancelled;
    }
    return result;
}

} // namespace NSPlatform
