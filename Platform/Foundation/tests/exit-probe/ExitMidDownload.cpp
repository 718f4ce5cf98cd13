// Exits while downloads are in flight: one streaming over https has delivered data, two more have just
// been started. Arguments: the http and https loopback ports of a firmware server and its authority's
// PEM file. Exit status 0 unless no data arrived.
#include <Foundation/NSURLSession.h>
#include <FoundationTesting/URLLoading.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

namespace {

const std::string kHost = "firmware.vork.example";

class FirstData : public NS::URLSessionDataDelegate
{
public:
    void didReceiveData(NS::URLSession*, NS::URLSessionDataTask*, CFDataRef) override
    {
        std::lock_guard lock(fLock);
        fArrived = true;
        fChanged.notify_all();
    }

    bool wait()
    {
        std::unique_lock lock(fLock);
        return fChanged.wait_for(lock, std::chrono::seconds(20), [&] { return fArrived; });
    }

private:
    std::mutex fLock;
    std::condition_variable fChanged;
    bool fArrived = false;
};

NS::URLSessionDataTask* start(NS::URLSession* session, const std::string& text)
{
    CFStringRef string = CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
    CFURLRef url = CFURLCreateWithString(nullptr, string, nullptr);
    NS::URLSessionDataTask* task = session->dataTaskWithURL(url);
    task->resume();
    CFRelease(url);
    CFRelease(string);
    return task;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        return 2;
    }
    FoundationTesting::mapHost(kHost, 80, uint16_t(std::atoi(argv[1])));
    FoundationTesting::mapHost(kHost, 443, uint16_t(std::atoi(argv[2])));
    std::ifstream authority(argv[3]);
    FoundationTesting::trustCertificateAuthority(std::string(std::istreambuf_iterator<char>(authority), {}));

    auto delegate = std::make_shared<FirstData>();
    NS::URLSession* session = NS::URLSession::sessionWithConfiguration(nullptr, delegate, nullptr);
    start(session, "https://" + kHost + "/stream");
    if (!delegate->wait()) {
        return 3;
    }
    start(NS::URLSession::sharedSession(), "https://" + kHost + "/stream");
    start(NS::URLSession::sessionWithConfiguration(nullptr, nullptr, nullptr), "http://" + kHost + "/silent");
    std::exit(0);
}
