// The Pyx updater's run-image download: a 16 MiB image from the firmware server model on loopback
// into a fresh download cache (the version reply, then the image), against the curl command-line
// tool fetching the same address and discarding the body. Printed without a goal: it mostly
// measures the platform's URL loading.
//
// Pair: pyx_download/ours and pyx_download/peer.
// Pair: pyx_download_memory/ours and pyx_download_memory/peer, in MiB shown as seconds: ours is the
// peak resident growth of a fresh process for one download (after one small request has set the URL
// loading up), the peer the image's size. Goal: at most 2.2 times the image.

#include <DownloadCache.h>

#include <FoundationTesting/URLLoading.h>
#include <SimNetwork/FirmwareServer.h>
#include <SimNetwork/PyxFirmwareRoutes.h>

#include <CoreFoundation/CFRunLoop.h>

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

namespace Routes = SimNetwork::PyxRoutes;

namespace {

constexpr size_t kImageSize = 16u << 20;
std::string gSelf;
uint16_t gPort = 0;

std::vector<uint8_t> image()
{
    std::vector<uint8_t> bytes(kImageSize);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 31 + 7);
    return bytes;
}

// One download into a fresh cache; the image's size, 0 when none came.
size_t downloadOnce()
{
    DownloadCache cache(std::string("http://") + Routes::kHost + Routes::kVersionPath);
    std::optional<DownloadCache::ImageResult> result;
    cache.acquireRunImageAsync([&](DownloadCache::ImageResult answer) { result = std::move(answer); });
    while (!result)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    const auto* bytes = std::get_if<DownloadCache::Image>(&*result);
    return bytes && *bytes ? (*bytes)->size() : 0;
}

// One small request, so that the URL loading has set itself up.
void warmUp()
{
    std::promise<void> done;
    DownloaderImpl request(
        std::string("http://") + Routes::kHost + Routes::kVersionPath,
        [&](DownloadResult) { done.set_value(); }, 1 << 20);
    done.get_future().wait();
}

long residentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The growth of our peak resident memory over one download, in a fresh process.
double peakGrowthMiB()
{
    const std::string command = gSelf + " --download-only " + std::to_string(gPort);
    FILE* child = popen(command.c_str(), "r");
    double growth = -1;
    if (child && std::fscanf(child, "%lf", &growth) != 1)
        growth = -1;
    if (child)
        pclose(child);
    return growth;
}

void ours(benchmark::State& state)
{
    for (auto _ : state) {
        if (downloadOnce() != kImageSize)
            state.SkipWithError("the image did not arrive whole");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kImageSize));
}

void peer(benchmark::State& state)
{
    const std::string command = "curl -s -o /dev/null --fail --connect-to " + std::string(Routes::kHost) +
                                ":80:127.0.0.1:" + std::to_string(gPort) + " " +
                                Routes::imageAddress("pyx.update");
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("curl did not fetch the image");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kImageSize));
}

void memoryOurs(benchmark::State& state)
{
    const double growth = peakGrowthMiB();
    if (growth < 0)
        state.SkipWithError("the measuring process failed");
    for (auto _ : state)
        state.SetIterationTime(growth);
    state.counters["image_MiB"] = double(kImageSize) / (1 << 20);
}

void memoryPeer(benchmark::State& state)
{
    for (auto _ : state)
        state.SetIterationTime(double(kImageSize) / (1 << 20));
}

void serveImage(SimNetwork::FirmwareServer& server)
{
    Routes::offer(server, "1.1.0+bench", image());
    FoundationTesting::mapHost(Routes::kHost, 80, server.port());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--download-only") {
        FoundationTesting::mapHost(Routes::kHost, 80, uint16_t(std::atoi(argv[2])));
        // The URL loading's one-time set-up is not the download's buffering.
        warmUp();
        const long before = residentKiB();
        const bool whole = downloadOnce() == kImageSize;
        std::printf("%f\n", double(residentKiB() - before) / 1024);
        return whole ? 0 : 1;
    }
    gSelf = argv[0];
    SimNetwork::FirmwareServer server;
    serveImage(server);
    gPort = server.port();
    benchmark::RegisterBenchmark("pyx_download/ours", ours)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("pyx_download/peer", peer)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("pyx_download_memory/ours", memoryOurs)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("pyx_download_memory/peer", memoryPeer)->UseManualTime()->Iterations(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
