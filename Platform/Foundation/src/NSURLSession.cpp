#include <Foundation/NSURLParts.h>
#include <Foundation/NSURLSession.h>

#include "StopAtExit.h"
#include "URLLoadingSettings.h"
#include "URLTransfer.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace NS {

const String NSURLErrorDomain = CFSTR("NSURLErrorDomain");

namespace {

constexpr int kMaximumRedirects = 16;
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

std::string utf8(CFStringRef text)
{
    if (!text) {
        return {};
    }
    const CFIndex length =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::string buffer(size_t(length), '\0');
    CFStringGetCString(text, buffer.data(), length, kCFStringEncodingUTF8);
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

bool isWebScheme(URL url)
{
    CFStringRef text = scheme(url);
    const std::string name = utf8(text);
    if (text) {
        CFRelease(text);
    }
    return name == "http" || name == "https";
}

Error newError(long code)
{
    return CFErrorCreate(nullptr, NSURLErrorDomain, code, nullptr);
}

// An answer the worker waits for from the delegate queue.
template <typename Answer>
struct Pending
{
    std::mutex lock;
    std::condition_variable answered;
    std::optional<Answer> answer;
};

} // namespace

URLRequest::URLRequest(::NS::URL url) : fURL(static_cast<::NS::URL>(CFRetain(url))) {}

URLRequest::~URLRequest()
{
    CFRelease(fURL);
}

URLRequest* URLRequest::requestWithURL(::NS::URL url)
{
    return url ? new URLRequest(url) : nullptr;
}

HTTPURLResponse::HTTPURLResponse(::NS::URL url, long statusCode, long long expectedContentLength,
                                 std::string location)
    : fURL(static_cast<::NS::URL>(CFRetain(url))), fStatusCode(statusCode),
      fExpectedContentLength(expectedContentLength), fLocation(std::move(location))
{}

HTTPURLResponse::~HTTPURLResponse()
{
    CFRelease(fURL);
}

URLSessionConfiguration* URLSessionConfiguration::defaultSessionConfiguration()
{
    auto* configuration = new URLSessionConfiguration;
    configuration->fTimeout = NSPlatform::urlLoadingSettings().defaultTimeout;
    return configuration;
}

void URLSessionDataDelegate::didReceiveResponse(
    URLSession*, URLSessionDataTask*, HTTPURLResponse*,
    std::function<void(URLSessionResponseDisposition)> completionHandler)
{
    completionHandler(URLSessionResponseAllow);
}

void URLSessionDataDelegate::didReceiveData(URLSession*, URLSessionDataTask*, CFDataRef) {}

void URLSessionDataDelegate::willPerformHTTPRedirection(URLSession*, URLSessionDataTask*, HTTPURLResponse*,
                                                        URLRequest* newRequest,
                                                        std::function<void(URLRequest*)> completionHandler)
{
    completionHandler(newRequest);
}

void URLSessionDataDelegate::didCompleteWithError(URLSession*, URLSessionDataTask*, Error) {}

class URLSession::Impl final : public NSPlatform::StoppedAtExit
{
public:
    Impl(URLSession* owner, double timeout, std::shared_ptr<URLSessionDataDelegate> delegate,
         dispatch_queue_t queue)
        : fOwner(owner), fTimeout(timeout), fDelegate(std::move(delegate)),
          fQueue(queue ? queue : dispatch_queue_create("URLSession delegate queue", DISPATCH_QUEUE_SERIAL))
    {
        if (queue) {
            dispatch_retain(queue);
        }
        fWorker = std::thread([this] { work(); });
        NSPlatform::stopAtExit(*this);
    }

    ~Impl()
    {
        NSPlatform::noLongerStopAtExit(*this);
        stop();
        for (URLSessionDataTask* task : fQueued) {
            task->release();
        }
        letDelegateGo();
        dispatch_release(fQueue);
    }

    void enqueue(URLSessionDataTask* task)
    {
        {
            std::lock_guard lock(fLock);
            if (fInvalidated) {
                return;
            }
            task->retain();
            fQueued.push_back(task);
        }
        fChanged.notify_all();
    }

    void invalidate(bool cancel)
    {
        {
            std::lock_guard lock(fLock);
            fInvalidated = true;
            if (cancel) {
                for (URLSessionDataTask* task : fQueued) {
                    task->fCancelled = true;
                }
                if (fRunning) {
                    fRunning->fCancelled = true;
                }
            }
        }
        fChanged.notify_all();
        fLoop.wake();
    }

    void taskCancelled()
    {
        fChanged.notify_all();
        fLoop.wake();
    }

    // The process is exiting: the running transfer is cut short, nothing more starts.
    void stopForExit() override { stop(); }

private:
    void stop()
    {
        {
            std::lock_guard lock(fLock);
            fStopping = true;
            fInvalidated = true;
        }
        fChanged.notify_all();
        fLoop.wake();
        if (fWorker.joinable()) {
            fWorker.join();
        }
    }

    void work()
    {
        for (;;) {
            URLSessionDataTask* task = nullptr;
            {
                std::unique_lock lock(fLock);
                fChanged.wait(lock, [&] { return fStopping || !fQueued.empty() || fInvalidated; });
                if (fStopping || (fQueued.empty() && fInvalidated)) {
                    break;
                }
                task = fQueued.front();
                fQueued.pop_front();
                fRunning = task;
            }
            perform(task);
            std::lock_guard lock(fLock);
            fRunning = nullptr;
        }
        std::lock_guard lock(fLock);
        if (!fStopping) {
            letDelegateGo();
        }
    }

    // The delegate is released on its own queue, after everything posted to it.
    void letDelegateGo()
    {
        if (fDelegate) {
            dispatch_async(fQueue, [delegate = std::move(fDelegate)] {});
            fDelegate.reset();
        }
    }

    bool stopped(URLSessionDataTask* task)
    {
        std::lock_guard lock(fLock);
        return fStopping || task->fCancelled;
    }

    // Posts a question to the delegate queue and waits for its answer; none when the task is cancelled
    // meanwhile or the session goes away.
    template <typename Answer>
    std::optional<Answer> ask(URLSessionDataTask* task,
                              std::function<void(std::function<void(Answer)>)> question)
    {
        auto pending = std::make_shared<Pending<Answer>>();
        dispatch_async(fQueue, [question, pending] {
            question([pending](Answer answer) {
                std::lock_guard lock(pending->lock);
                if (!pending->answer) {
                    pending->answer = answer;
                }
                pending->answered.notify_all();
            });
        });
        std::unique_lock lock(pending->lock);
        while (!pending->answer) {
            lock.unlock();
            if (stopped(task)) {
                return std::nullopt;
            }
            lock.lock();
            pending->answered.wait_for(lock, kWaitSlice);
        }
        return pending->answer;
    }

    bool askResponse(URLSessionDataTask* task, HTTPURLResponse* response)
    {
        if (!fDelegate || task->fCompletion) {
            return true;
        }
        auto delegate = fDelegate;
        URLSession* session = fOwner;
        // The question can still be queued when a cancelled task's worker lets the task and its
        // response go.
        response->retain();
        task->retain();
        const auto disposition = ask<URLSessionResponseDisposition>(
            task,
            [delegate, session, task, response](std::function<void(URLSessionResponseDisposition)> answer) {
                delegate->didReceiveResponse(session, task, response, answer);
                response->release();
                task->release();
            });
        return disposition && *disposition == URLSessionResponseAllow;
    }

    // The URL a redirect goes on to; NULL when it is refused.
    URL askRedirect(URLSessionDataTask* task, HTTPURLResponse* response, URL target)
    {
        if (!fDelegate || task->fCompletion) {
            return static_cast<URL>(CFRetain(target));
        }
        URLRequest* request = URLRequest::requestWithURL(target);
        auto delegate = fDelegate;
        URLSession* session = fOwner;
        const auto chosen = ask<URLRequest*>(
            task, [delegate, session, task, response, request](std::function<void(URLRequest*)> answer) {
                delegate->willPerformHTTPRedirection(session, task, response, request,
                                                     [answer](URLRequest* next) {
                                                         if (next) {
                                                             next->retain();
                                                         }
                                                         answer(next);
                                                     });
            });
        request->release();
        if (!chosen || !*chosen) {
            return nullptr;
        }
        URL next = static_cast<URL>(CFRetain((*chosen)->URL()));
        (*chosen)->release();
        return next;
    }

    void perform(URLSessionDataTask* task)
    {
        URL current = static_cast<URL>(CFRetain(task->fURL));
        HTTPURLResponse* response = nullptr;
        std::string collected;
        long error = 0;
        for (int redirects = 0;; ++redirects) {
            if (!isWebScheme(current)) {
                error = NSURLErrorUnsupportedURL;
                break;
            }
            CFStringRef text = absoluteString(current);
            const std::string url = utf8(text);
            CFRelease(text);
            NSPlatform::TransferCallbacks callbacks;
            callbacks.head = [&](const NSPlatform::ResponseHead& head) {
                response = new HTTPURLResponse(current, head.status, head.contentLength, head.location);
                task->fProgress->fCompleted = 0;
                task->fProgress->fTotal = head.contentLength > 0 ? head.contentLength : 0;
                task->fProgressStarted = true;
                return askResponse(task, response);
            };
            callbacks.data = [&](const char* data, size_t length) {
                task->fProgress->fCompleted += static_cast<long long>(length);
                if (task->fCompletion) {
                    collected.append(data, length);
                } else if (fDelegate) {
                    post(task, CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(data), CFIndex(length)));
                }
                return !stopped(task);
            };
            callbacks.cancelled = [&] { return stopped(task); };
            const NSPlatform::TransferResult result = fLoop.get(url, fTimeout, callbacks);
            error = result.error;
            if (error != 0 || !result.head.isRedirect()) {
                break;
            }
            HTTPURLResponse* redirect = new HTTPURLResponse(current, result.head.status,
                                                            result.head.contentLength, result.head.location);
            CFStringRef location =
                CFStringCreateWithCString(nullptr, result.head.location.c_str(), kCFStringEncodingUTF8);
            CFURLRef relative = location ? CFURLCreateWithString(nullptr, location, current) : nullptr;
            URL target = relative ? CFURLCopyAbsoluteURL(relative) : nullptr;
            if (location) {
                CFRelease(location);
            }
            if (relative) {
                CFRelease(relative);
            }
            URL next = nullptr;
            if (!target) {
                error = NSURLErrorUnsupportedURL;
            } else if (redirects + 1 > kMaximumRedirects) {
                error = NSURLErrorHTTPTooManyRedirects;
            } else {
                next = askRedirect(task, redirect, target);
                if (!next && !stopped(task)) {
                    // Not followed: the task ends with the redirect's own response.
                    response = redirect;
                    redirect = nullptr;
                    if (!askResponse(task, response)) {
                        error = NSURLErrorCancelled;
                    }
                }
            }
            if (target) {
                CFRelease(target);
            }
            if (redirect) {
                redirect->release();
            }
            if (!next) {
                if (stopped(task) && error == 0) {
                    error = NSURLErrorCancelled;
                }
                break;
            }
            CFRelease(current);
            current = next;
        }
        CFRelease(current);
        if (stopped(task) && error == 0 && !response) {
            error = NSURLErrorCancelled;
        }
        // A cancelled task ends as if nothing had been answered.
        if (error == NSURLErrorCancelled && response) {
            response->release();
            response = nullptr;
        }
        complete(task, response, error, collected);
    }

    void post(URLSessionDataTask* task, CFDataRef data)
    {
        auto delegate = fDelegate;
        URLSession* session = fOwner;
        task->retain();
        dispatch_async(fQueue, [delegate, session, task, data] {
            delegate->didReceiveData(session, task, data);
            CFRelease(data);
            task->release();
        });
    }

    void complete(URLSessionDataTask* task, HTTPURLResponse* response, long code,
                  const std::string& collected)
    {
        {
            std::lock_guard lock(fLock);
            if (fStopping) {
                // The process is exiting: nothing more is delivered, and the task stays with the session.
                fQueued.push_front(task);
                if (response) {
                    response->release();
                }
                return;
            }
        }
        Error error = code ? newError(code) : nullptr;
        CFDataRef data = code ? nullptr
                              : CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(collected.data()),
                                             CFIndex(collected.size()));
        auto delegate = fDelegate;
        URLSession* session = fOwner;
        // The task's reference taken when it was queued goes with this block.
        dispatch_async(fQueue, [delegate, session, task, response, error, data] {
            if (task->fCompletion) {
                task->fCompletion(data, response, error);
            } else if (delegate) {
                delegate->didCompleteWithError(session, task, error);
            }
            if (data) {
                CFRelease(data);
            }
            if (error) {
                CFRelease(error);
            }
            if (response) {
                response->release();
            }
            task->release();
        });
    }

    URLSession* fOwner;
    const double fTimeout;
    std::shared_ptr<URLSessionDataDelegate> fDelegate;
    dispatch_queue_t fQueue;
    std::mutex fLock;
    std::condition_variable fChanged;
    std::deque<URLSessionDataTask*> fQueued;
    URLSessionDataTask* fRunning = nullptr;
    bool fInvalidated = false;
    bool fStopping = false;
    NSPlatform::TransferLoop fLoop;
    std::thread fWorker;
};

URLSessionDataTask::URLSessionDataTask(URLSession* session, ::NS::URL url,
                                       DataTaskCompletionHandler completion)
    : fSession(session), fURL(static_cast<::NS::URL>(CFRetain(url))), fCompletion(std::move(completion))
{
    fSession->retain();
}

URLSessionDataTask::~URLSessionDataTask()
{
    CFRelease(fURL);
    fSession->release();
}

void URLSessionDataTask::resume()
{
    if (!fResumed.exchange(true)) {
        fSession->fImpl->enqueue(this);
    }
}

void URLSessionDataTask::cancel()
{
    fCancelled = true;
    fSession->fImpl->taskCancelled();
}

URLSession::URLSession(double timeout, std::shared_ptr<URLSessionDataDelegate> delegate,
                       dispatch_queue_t queue)
    : fImpl(std::make_unique<Impl>(this, timeout, std::move(delegate), queue))
{}

URLSession::~URLSession() = default;

URLSession* URLSession::sharedSession()
{
    static URLSession* shared =
        new URLSession(NSPlatform::urlLoadingSettings().defaultTimeout, nullptr, nullptr);
    return shared;
}

URLSession* URLSession::sessionWithConfiguration(URLSessionConfiguration* configuration,
                                                 std::shared_ptr<URLSessionDataDelegate> delegate,
                                                 dispatch_queue_t delegateQueue)
{
    const double timeout = configuration ? configuration->timeoutIntervalForRequest()
                                         : NSPlatform::urlLoadingSettings().defaultTimeout;
    return new URLSession(timeout, std::move(delegate), delegateQueue);
}

URLSessionDataTask* URLSession::dataTaskWithURL(URL url, DataTaskCompletionHandler completionHandler)
{
    return url ? new URLSessionDataTask(this, url, std::move(completionHandler)) : nullptr;
}

URLSessionDataTask* URLSession::dataTaskWithURL(URL url)
{
    return dataTaskWithURL(url, nullptr);
}

void URLSession::finishTasksAndInvalidate()
{
    fImpl->invalidate(false);
}

void URLSession::invalidateAndCancel()
{
    fImpl->invalidate(true);
}

} // namespace NS
