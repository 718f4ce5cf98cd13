// URL loading against the firmware server model and against python3's http.server.
#include <Foundation/NSURLParts.h>
#include <Foundation/NSURLSession.h>
#include <FoundationTesting/URLLoading.h>

#include <SimNetwork/FirmwareServer.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using SimNetwork::FirmwareServer;

namespace {

const std::string kHost = "firmware.vork.example";
constexpr auto kDeadline = std::chrono::seconds(20);

CFURLRef makeURL(const std::string& text)
{
    CFStringRef string = CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
    CFURLRef url = CFURLCreateWithString(nullptr, string, nullptr);
    CFRelease(string);
    return url;
}

std::string body(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = char(i * 7 + 3);
    }
    return text;
}

// Records what the delegate is told, on which queue, and whether two calls ever overlapped.
class RecordingDelegate : public NS::URLSessionDataDelegate
{
public:
    explicit RecordingDelegate(std::string queueLabel) : fQueueLabel(std::move(queueLabel)) {}

    void didReceiveResponse(NS::URLSession*, NS::URLSessionDataTask*, NS::HTTPURLResponse* response,
                            std::function<void(NS::URLSessionResponseDisposition)> handler) override
    {
        enter("response " + std::to_string(response->statusCode()));
        handler(fCancelAtResponse ? NS::URLSessionResponseCancel : NS::URLSessionResponseAllow);
        leave();
    }
    void didReceiveData(NS::URLSession*, NS::URLSessionDataTask*, CFDataRef data) override
    {
        enter("data");
        std::lock_guard lock(fLock);
        fBody.append(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), size_t(CFDataGetLength(data)));
        leave();
    }
    void willPerformHTTPRedirection(NS::URLSession*, NS::URLSessionDataTask*, NS::HTTPURLResponse* response,
                                    NS::URLRequest* request,
                                    std::function<void(NS::URLRequest*)> handler) override
    {
        enter("redirect " + std::to_string(response->statusCode()));
        handler(fRefuseRedirects ? nullptr : request);
        leave();
    }
    void didCompleteWithError(NS::URLSession*, NS::URLSessionDataTask*, NS::Error error) override
    {
        enter("complete");
        std::lock_guard lock(fLock);
        fError = error ? CFErrorGetCode(error) : 0;
        fDone = true;
        fChanged.notify_all();
        leave();
    }

    bool waitForCompletion()
    {
        std::unique_lock lock(fLock);
        return fChanged.wait_for(lock, kDeadline, [&] { return fDone; });
    }

    // The calls, with consecutive data calls shown once.
    std::vector<std::string> calls()
    {
        std::lock_guard lock(fLock);
        return fCalls;
    }
    std::string receivedBody()
    {
        std::lock_guard lock(fLock);
        return fBody;
    }
    long error()
    {
        std::lock_guard lock(fLock);
        return fError;
    }

    bool fCancelAtResponse = false;
    bool fRefuseRedirects = false;
    std::atomic<bool> fOverlap{false};
    std::atomic<bool> fWrongQueue{false};

private:
    void enter(const std::string& call)
    {
        if (fInside.fetch_add(1) != 0) {
            fOverlap = true;
        }
        if (dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL) != fQueueLabel) {
            fWrongQueue = true;
        }
        std::lock_guard lock(fLock);
        if (call != "data" || fCalls.empty() || fCalls.back() != "data") {
            fCalls.push_back(call);
        }
    }
    void leave() { fInside.fetch_sub(1); }

    const std::string fQueueLabel;
    std::atomic<int> fInside{0};
    std::mutex fLock;
    std::condition_variable fChanged;
    std::vector<std::string> fCalls;
    std::string fBody;
    long fError = 0;
    bool fDone = false;
};

class URLSessionTest : public ::testing::Test
{
protected:
    void SetUp() override { FoundationTesting::resetURLLoading(); }
    void TearDown() override { FoundationTesting::resetURLLoading(); }

    // Runs one delegate-form task on a queue of the test's own.
    std::shared_ptr<RecordingDelegate> fetch(const std::string& url,
                                             const std::function<void(RecordingDelegate&)>& setUp = {},
                                             bool cancelAtOnce = false)
    {
        dispatch_queue_t queue = dispatch_queue_create("delegate queue", DISPATCH_QUEUE_SERIAL);
        auto delegate = std::make_shared<RecordingDelegate>("delegate queue");
        if (setUp) {
            setUp(*delegate);
        }
        NS::URLSessionConfiguration* configuration =
            NS::URLSessionConfiguration::defaultSessionConfiguration();
        NS::URLSession* session = NS::URLSession::sessionWithConfiguration(configuration, delegate, queue);
        CFURLRef target = makeURL(url);
        NS::URLSessionDataTask* task = session->dataTaskWithURL(target);
        task->resume();
        if (cancelAtOnce) {
            task->cancel();
        }
        EXPECT_TRUE(delegate->waitForCompletion()) << url;
        session->finishTasksAndInvalidate();
        task->release();
        session->release();
        CFRelease(target);
        configuration->release();
        dispatch_release(queue);
        EXPECT_FALSE(delegate->fOverlap);
        EXPECT_FALSE(delegate->fWrongQueue);
        return delegate;
    }
};

TEST_F(URLSessionTest, DelegateHearsResponseDataAndCompletionInOrderOnItsQueue)
{
    FirmwareServer server;
    const std::string image = body(500000);
    server.setRoute("/image", {{.body = image}});
    FoundationTesting::mapHost(kHost, 80, server.port());
    const auto delegate = fetch("http://" + kHost + "/image");
    EXPECT_EQ(delegate->calls(), (std::vector<std::string>{"response 200", "data", "complete"}));
    EXPECT_TRUE(delegate->receivedBody() == image);
    EXPECT_EQ(delegate->error(), 0);
}

TEST_F(URLSessionTest, CompletionHandlerGetsTheWholeBodyOnce)
{
    FirmwareServer server;
    const std::string image = body(100000);
    server.setRoute("/image", {{.status = 404, .body = image}});
    FoundationTesting::mapHost(kHost, 80, server.port());
    std::mutex lock;
    std::condition_variable done;
    int calls = 0;
    std::string received;
    long status = 0;
    CFURLRef url = makeURL("http://" + kHost + "/image");
    NS::URLSessionDataTask* task = NS::URLSession::sharedSession()->dataTaskWithURL(
        url, [&](CFDataRef data, NS::HTTPURLResponse* response, NS::Error error) {
            std::lock_guard guard(lock);
            ++calls;
            EXPECT_EQ(error, nullptr);
            received.assign(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                            size_t(CFDataGetLength(data)));
            status = response->statusCode();
            EXPECT_EQ(response->expectedContentLength(), 100000);
            done.notify_all();
        });
    task->resume();
    std::unique_lock guard(lock);
    ASSERT_TRUE(done.wait_for(guard, kDeadline, [&] { return calls > 0; }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(status, 404);
    EXPECT_TRUE(received == image);
    guard.unlock();
    task->release();
    CFRelease(url);
}

uint16_t closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// What a completion-handler task's handler was given, with the task's progress read in it.
struct HandlerOutcome
{
    int calls = 0;
    bool hasData = false;
    bool hasResponse = false;
    long error = 0;
    bool hadProgressBeforeResume = true;
    long long completed = -1;
    long long total = -1;
};

// Runs one task of the shared session; `whenStarted` (when given) runs once the response is in.
HandlerOutcome fetchWithHandler(const std::string& address,
                                const std::function<void(NS::URLSessionDataTask*)>& whenStarted = {})
{
    std::mutex lock;
    std::condition_variable done;
    HandlerOutcome outcome;
    CFURLRef url = makeURL(address);
    NS::URLSessionDataTask* task = nullptr;
    task = NS::URLSession::sharedSession()->dataTaskWithURL(
        url, [&](CFDataRef data, NS::HTTPURLResponse* response, NS::Error error) {
            std::lock_guard guard(lock);
            ++outcome.calls;
            outcome.hasData = data != nullptr;
            outcome.hasResponse = response != nullptr;
            outcome.error = error ? CFErrorGetCode(error) : 0;
            if (NS::Progress* progress = task->progress()) {
                outcome.completed = progress->completedUnitCount();
                outcome.total = progress->totalUnitCount();
            }
            done.notify_all();
        });
    outcome.hadProgressBeforeResume = task->progress() != nullptr;
    task->resume();
    if (whenStarted) {
        const auto until = std::chrono::steady_clock::now() + kDeadline;
        while (!task->progress() && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        whenStarted(task);
    }
    std::unique_lock guard(lock);
    EXPECT_TRUE(done.wait_for(guard, kDeadline, [&] { return outcome.calls > 0; })) << address;
    guard.unlock();
    task->release();
    CFRelease(url);
    return outcome;
}

TEST_F(URLSessionTest, HandlerTasksCountProgressAndTellNoResponseFromAFailedOne)
{
    FirmwareServer server;
    const std::string image = body(70000);
    server.setRoute("/image", {{.body = image}});
    server.setRoute("/chunked", {{.body = image, .chunked = true}});
    server.setRoute("/truncated", {{.body = "short", .declaredLength = 1000}});
    server.setRoute("/slow", {{.body = image, .throttleBytes = 1000, .throttleMilliseconds = 100}});
    FoundationTesting::mapHost(kHost, 80, server.port());
    FoundationTesting::mapHost("refused.vork.example", 80, closedPort());
    const auto cancel = [](NS::URLSessionDataTask* task) { task->cancel(); };
    const struct
    {
        std::string path;
        std::function<void(NS::URLSessionDataTask*)> whenStarted;
        long error;
        bool hasResponse;
        long long completed;
        long long total;
    } rows[] = {
        {"http://" + kHost + "/image", {}, 0, true, 70000, 70000},
        {"http://" + kHost + "/chunked", {}, 0, true, 70000, 0},
        {"http://refused.vork.example/", {}, NS::NSURLErrorCannotConnectToHost, false, -1, -1},
        {"http://" + kHost + "/truncated", {}, NS::NSURLErrorNetworkConnectionLost, true, 5, 1000},
        {"http://" + kHost + "/slow", cancel, NS::NSURLErrorCancelled, false, -2, 70000},
    };
    for (const auto& row : rows) {
        const HandlerOutcome outcome = fetchWithHandler(row.path, row.whenStarted);
        EXPECT_EQ(outcome.calls, 1) << row.path;
        EXPECT_FALSE(outcome.hadProgressBeforeResume) << row.path;
        EXPECT_EQ(outcome.error, row.error) << row.path;
        EXPECT_EQ(outcome.hasData, row.error == 0) << row.path;
        EXPECT_EQ(outcome.hasResponse, row.hasResponse) << row.path;
        EXPECT_EQ(outcome.total, row.total) << row.path;
        // A cancelled transfer stops part way: some bytes, not all.
        if (row.completed == -2) {
            EXPECT_LT(outcome.completed, row.total) << row.path;
        } else {
            EXPECT_EQ(outcome.completed, row.completed) << row.path;
        }
    }
    // The handler is not called again later.
    EXPECT_EQ(fetchWithHandler("http://" + kHost + "/image").calls, 1);
}

TEST_F(URLSessionTest, AProxyInTheEnvironmentIsNotUsed)
{
    FirmwareServer server;
    server.setRoute("/image", {{.body = "direct"}});
    FoundationTesting::mapHost(kHost, 80, server.port());
    const std::string proxy = "http://127.0.0.1:" + std::to_string(closedPort());
    for (const char* name : {"http_proxy", "HTTPS_PROXY", "ALL_PROXY"}) {
        ::setenv(name, proxy.c_str(), 1);
    }
    const auto delegate = fetch("http://" + kHost + "/image");
    for (const char* name : {"http_proxy", "HTTPS_PROXY", "ALL_PROXY"}) {
        ::unsetenv(name);
    }
    EXPECT_EQ(delegate->error(), 0);
    EXPECT_EQ(delegate->receivedBody(), "direct");
}

TEST_F(URLSessionTest, RedirectsOfEveryStatusAreFollowedAfterAskingTheDelegate)
{
    FirmwareServer server;
    server.setRoute("/final", {{.body = "arrived"}});
    for (const int status : {301, 302, 303, 307, 308}) {
        server.setRoute("/from" + std::to_string(status),
                        {{.status = status, .headers = {{"Location", "/final"}}}});
    }
    FoundationTesting::mapHost(kHost, 80, server.port());
    for (const int status : {301, 302, 303, 307, 308}) {
        const auto delegate = fetch("http://" + kHost + "/from" + std::to_string(status));
        EXPECT_EQ(delegate->calls(), (std::vector<std::string>{"redirect " + std::to_string(status),
                                                               "response 200", "data", "complete"}));
        EXPECT_EQ(delegate->receivedBody(), "arrived");
    }
}

TEST_F(URLSessionTest, ARefusedRedirectEndsWithItsOwnResponseAndALoopEndsAtSixteen)
{
    FirmwareServer server;
    server.setRoute("/moved", {{.status = 302, .headers = {{"Location", "/final"}}}});
    server.setRoute("/final", {{.body = "arrived"}});
    server.setRoute("/loop", {{.status = 302, .headers = {{"Location", "/loop"}}}});
    FoundationTesting::mapHost(kHost, 80, server.port());
    const auto refused =
        fetch("http://" + kHost + "/moved", [](RecordingDelegate& d) { d.fRefuseRedirects = true; });
    EXPECT_EQ(refused->calls(), (std::vector<std::string>{"redirect 302", "response 302", "complete"}));
    EXPECT_EQ(refused->error(), 0);
    const auto loop = fetch("http://" + kHost + "/loop");
    EXPECT_EQ(loop->error(), NS::NSURLErrorHTTPTooManyRedirects);
    ASSERT_TRUE(server.waitForRequests(18, 5000));
    const auto log = server.log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const auto& r) { return r.path == "/final"; }), 0);
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const auto& r) { return r.path == "/loop"; }), 17);
}

TEST_F(URLSessionTest, TransportFailuresMapToTheirErrors)
{
    const auto authority = SimNetwork::makeCertificateAuthority("Loopback Authority");
    const auto stranger = SimNetwork::makeCertificateAuthority("Unknown Authority");
    FirmwareServer plain;
    plain.setRoute("/truncated", {{.body = "short", .declaredLength = 1000}});
    plain.setRoute("/silent", {{.silent = true}});
    plain.setRoute("/slow", {{.silent = true}});
    FirmwareServer trusted(SimNetwork::makeServerCertificate(authority, kHost));
    trusted.setRoute("/image", {{.body = "secret"}});
    FirmwareServer untrusted(SimNetwork::makeServerCertificate(stranger, kHost));
    FirmwareServer wrongName(SimNetwork::makeServerCertificate(authority, "other.vork.example"));
    FoundationTesting::mapHost(kHost, 80, plain.port());
    FoundationTesting::mapHost(kHost, 443, trusted.port());
    FoundationTesting::mapHost("untrusted.vork.example", 443, untrusted.port());
    FoundationTesting::mapHost("wrongname.vork.example", 443, wrongName.port());
    FoundationTesting::mapHost("refused.vork.example", 80, closedPort());
    FoundationTesting::trustCertificateAuthority(authority.certificatePem);
    FoundationTesting::setDefaultRequestTimeout(1);

    EXPECT_EQ(fetch("https://" + kHost + "/image")->receivedBody(), "secret");
    const struct
    {
        std::string url;
        long error;
        bool cancel;
    } rows[] = {
        {"http://refused.vork.example/", NS::NSURLErrorCannotConnectToHost, false},
        {"http://" + kHost + "/truncated", NS::NSURLErrorNetworkConnectionLost, false},
        {"http://" + kHost + "/silent", NS::NSURLErrorTimedOut, false},
        {"http://" + kHost + "/slow", NS::NSURLErrorCancelled, true},
        {"https://untrusted.vork.example/", NS::NSURLErrorServerCertificateUntrusted, false},
        {"https://wrongname.vork.example/", NS::NSURLErrorServerCertificateUntrusted, false},
        {"ftp://" + kHost + "/image", NS::NSURLErrorUnsupportedURL, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(fetch(row.url, {}, row.cancel)->error(), row.error) << row.url;
    }
}

TEST_F(URLSessionTest, ResponseCancelledByTheDelegateEndsTheTask)
{
    FirmwareServer server;
    server.setRoute("/image", {{.body = body(2000000)}});
    FoundationTesting::mapHost(kHost, 80, server.port());
    const auto delegate =
        fetch("http://" + kHost + "/image", [](RecordingDelegate& d) { d.fCancelAtResponse = true; });
    EXPECT_EQ(delegate->calls(), (std::vector<std::string>{"response 200", "complete"}));
    EXPECT_EQ(delegate->error(), NS::NSURLErrorCancelled);
}

TEST_F(URLSessionTest, FetchesFromPythonsHttpServer)
{
    char pattern[] = "/tmp/url-session-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    const std::string file = body(70000);
    std::ofstream(folder + "/file.bin", std::ios::binary) << file;
    const uint16_t port = closedPort();
    const std::string command = "cd " + folder + " && exec python3 -m http.server --bind 127.0.0.1 " +
                                std::to_string(port) + " > /dev/null 2>&1 & echo $! > " + folder + "/pid";
    ASSERT_EQ(std::system(command.c_str()), 0);
    FoundationTesting::mapHost("files.example", 80, port);
    std::shared_ptr<RecordingDelegate> delegate;
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    // The server takes a moment to listen: connection refusals are retried until the deadline.
    do {
        delegate = fetch("http://files.example/file.bin");
    } while (delegate->error() == NS::NSURLErrorCannotConnectToHost &&
             std::chrono::steady_clock::now() < until);
    EXPECT_EQ(delegate->error(), 0);
    EXPECT_TRUE(delegate->receivedBody() == file);
    std::ifstream pidFile(folder + "/pid");
    int pid = 0;
    pidFile >> pid;
    if (pid > 0) {
        ::kill(pid, SIGTERM);
    }
    std::filesystem::remove_all(folder);
}

TEST(URLSessionExit, AProcessThatExitsWithDownloadsInFlightEndsCleanly)
{
    const auto authority = SimNetwork::makeCertificateAuthority("Loopback Authority");
    FirmwareServer plain;
    FirmwareServer secure(SimNetwork::makeServerCertificate(authority, kHost));
    for (FirmwareServer* server : {&plain, &secure}) {
        server->setRoute("/stream", {{.body = body(65536), .streamWithoutLength = uint64_t(1) << 40}});
        server->setRoute("/silent", {{.silent = true}});
    }
    char pattern[] = "/tmp/url-exit-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    std::ofstream(folder + "/authority.pem") << authority.certificatePem;
    const std::string command = std::string(URL_EXIT_PROBE) + " " + std::to_string(plain.port()) + " " +
                                std::to_string(secure.port()) + " " + folder + "/authority.pem";
    constexpr size_t kRuns = 20;
    for (size_t run = 0; run < kRuns; ++run) {
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << ": status " << status;
    }
    // Every run left while its first stream was still flowing.
    ASSERT_TRUE(secure.waitForRequests(kRuns, 20000));
    const auto log = secure.log();
    EXPECT_GE(size_t(std::count_if(log.begin(), log.end(),
                                   [](const auto& r) { return r.path == "/stream" && r.clientClosedEarly; })),
              kRuns);
    std::filesystem::remove_all(folder);
}

TEST(NSURLParts, SchemeHostPortAndLastComponent)
{
    CFURLRef url = makeURL("https://firmware.vork.example:8443/images/wrenlet-1.1.0.xz");
    const auto text = [](CFStringRef string) {
        char buffer[256] = {};
        CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8);
        CFRelease(string);
        return std::string(buffer);
    };
    EXPECT_EQ(text(NS::scheme(url)), "https");
    EXPECT_EQ(text(NS::host(url)), "firmware.vork.example");
    EXPECT_EQ(NS::port(url), 8443);
    EXPECT_EQ(text(NS::lastPathComponent(url)), "wrenlet-1.1.0.xz");
    EXPECT_EQ(text(NS::absoluteString(url)), "https://firmware.vork.example:8443/images/wrenlet-1.1.0.xz");
    CFRelease(url);
}

} // namespace
