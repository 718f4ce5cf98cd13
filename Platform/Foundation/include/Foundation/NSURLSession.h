#pragma once

// URL loading over HTTP/1.1 (http and https). Each session runs its transfers on a worker thread of
// its own and calls its delegate, or a task's completion handler, on its delegate queue: for a task,
// the response, then its data, then the completion, one at a time. Objects come with one reference,
// the caller's to release; data is a CFData, errors CFErrors of NSURLErrorDomain. A process may exit
// with transfers in flight: the workers stop before libcurl and OpenSSL clean up, and nothing more
// is delivered.

#include <Foundation/NSObject.h>
#include <Foundation/NSTypes.h>

#include <dispatch/dispatch.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace NS {

extern const String NSURLErrorDomain;

enum : long
{
    NSURLErrorCancelled = -999,
    NSURLErrorTimedOut = -1001,
    NSURLErrorUnsupportedURL = -1002,
    NSURLErrorCannotConnectToHost = -1004,
    NSURLErrorNetworkConnectionLost = -1005,
    NSURLErrorHTTPTooManyRedirects = -1007,
    NSURLErrorSecureConnectionFailed = -1200,
    NSURLErrorServerCertificateUntrusted = -1202,
};

class URLRequest : public Object
{
public:
    static URLRequest* requestWithURL(::NS::URL url);
    ::NS::URL URL() const { return fURL; }

private:
    explicit URLRequest(::NS::URL url);
    ~URLRequest() override;

    ::NS::URL fURL;
};

class HTTPURLResponse : public Object
{
public:
    HTTPURLResponse(::NS::URL url, long statusCode, long long expectedContentLength, std::string location);

    long statusCode() const { return fStatusCode; }
    // -1 when the server did not say.
    long long expectedContentLength() const { return fExpectedContentLength; }
    ::NS::URL URL() const { return fURL; }
    // The Location header; empty when there is none.
    const std::string& location() const { return fLocation; }

private:
    ~HTTPURLResponse() override;

    ::NS::URL fURL;
    long fStatusCode;
    long long fExpectedContentLength;
    std::string fLocation;
};

class URLSessionConfiguration : public Object
{
public:
    static URLSessionConfiguration* defaultSessionConfiguration();

    // Seconds without progress before a request fails with NSURLErrorTimedOut.
    double timeoutIntervalForRequest() const { return fTimeout; }
    void setTimeoutIntervalForRequest(double seconds) { fTimeout = seconds; }

private:
    URLSessionConfiguration() = default;

    double fTimeout = 60;
};

class URLSession;
class URLSessionDataTask;

enum URLSessionResponseDisposition
{
    URLSessionResponseCancel = 0,
    URLSessionResponseAllow = 1,
};

// A session's delegate; every call runs on the session's delegate queue. The defaults allow the
// response and follow the redirect.
class URLSessionDataDelegate
{
public:
    virtual ~URLSessionDataDelegate() = default;
    virtual void didReceiveResponse(URLSession* session, URLSessionDataTask* task, HTTPURLResponse* response,
                                    std::function<void(URLSessionResponseDisposition)> completionHandler);
    virtual void didReceiveData(URLSession* session, URLSessionDataTask* task, CFDataRef data);
    // A null request refuses the redirect: the task goes on with the redirect's own response.
    virtual void willPerformHTTPRedirection(URLSession* session, URLSessionDataTask* task,
                                            HTTPURLResponse* response, URLRequest* newRequest,
                                            std::function<void(URLRequest*)> completionHandler);
    virtual void didCompleteWithError(URLSession* session, URLSessionDataTask* task, Error error);
};

// How far a transfer has come, readable from any thread: bytes of the body received, of the length
// the response announced (0 while the length is unknown).
class Progress
{
public:
    long long completedUnitCount() const { return fCompleted.load(); }
    long long totalUnitCount() const { return fTotal.load(); }

private:
    friend class URLSession;
    std::atomic<long long> fCompleted{0};
    std::atomic<long long> fTotal{0};
};

using DataTaskCompletionHandler = std::function<void(CFDataRef data, HTTPURLResponse* response, Error error)>;

class URLSessionDataTask : public Object
{
public:
    void resume();
    void cancel();
    // Null until the response has arrived; owned by the task.
    Progress* progress() const { return fProgressStarted.load() ? fProgress.get() : nullptr; }

private:
    friend class URLSession;
    URLSessionDataTask(URLSession* session, ::NS::URL url, DataTaskCompletionHandler completion);
    ~URLSessionDataTask() override;

    URLSession* fSession;
    ::NS::URL fURL;
    DataTaskCompletionHandler fCompletion;
    std::atomic<bool> fResumed{false};
    std::atomic<bool> fCancelled{false};
    std::unique_ptr<Progress> fProgress = std::make_unique<Progress>();
    std::atomic<bool> fProgressStarted{false};
};

class URLSession : public Object
{
public:
    // Never released.
    static URLSession* sharedSession();
    // A null queue gives the session a serial queue of its own. The session holds its delegate until it
    // is invalidated.
    static URLSession* sessionWithConfiguration(URLSessionConfiguration* configuration,
                                                std::shared_ptr<URLSessionDataDelegate> delegate,
                                                dispatch_queue_t delegateQueue);

    URLSessionDataTask* dataTaskWithURL(URL url, DataTaskCompletionHandler completionHandler);
    URLSessionDataTask* dataTaskWithURL(URL url);
    // No new tasks; the delegate is let go once the running ones have completed.
    void finishTasksAndInvalidate();
    // The same, with the running tasks cancelled.
    void invalidateAndCancel();

    class Impl;

private:
    friend class URLSessionDataTask;
    URLSession(double timeout, std::shared_ptr<URLSessionDataDelegate> delegate,
               dispatch_queue_t delegateQueue);
    ~URLSession() override;

    std::unique_ptr<Impl> fImpl;
};

} // namespace NS
