// The producer-side cost of one real-time log message, as the audio IO thread pays it: LogThread
// against spdlog's asynchronous logger, both with a queue of 100 slots, one worker, a sink that
// discards and a full queue that never blocks the producer. Pairs: the mean cost per message, and
// the 99th percentile of each batch of 1000 messages. That posting allocates nothing is checked by
// UtilTests.

#include "LogThread.h"

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/null_sink.h>

#include <algorithm>
#include <array>
#include <chrono>

namespace {

constexpr std::size_t kBatch = 1000;
constexpr std::size_t kPercentileIndex = kBatch * 99 / 100;

LogThread& ours()
{
    static LogThread log([](const char*) {});
    return log;
}

spdlog::async_logger& peer()
{
    // The asynchronous logger hands itself to its worker, so it must be owned by a shared_ptr.
    static auto pool = std::make_shared<spdlog::details::thread_pool>(100, 1);
    static auto logger =
        std::make_shared<spdlog::async_logger>("peer", std::make_shared<spdlog::sinks::null_sink_mt>(), pool,
                                               spdlog::async_overflow_policy::overrun_oldest);
    return *logger;
}

// A typical chase message: two 64-bit counts and a text.
struct ChaseMessage
{
    unsigned long long fSample = 123456789;
    unsigned long long fRequest = 17;
    const char* fIterator = "fChaseRequest: {4, 17}";
};

void postOurs(const ChaseMessage& m)
{
    ours().PostMessage<TIDE_SOURCE_LOCATION>("chase sample %llu of request %llu: %s\n", m.fSample, m.fRequest,
                                             m.fIterator);
}

void postPeer(const ChaseMessage& m)
{
    peer().info("chase sample {} of request {}: {}", m.fSample, m.fRequest, m.fIterator);
}

template <void (*Post)(const ChaseMessage&)>
void mean(benchmark::State& state)
{
    ChaseMessage message;
    for (auto _ : state) {
        Post(message);
        ++message.fSample;
    }
}

template <void (*Post)(const ChaseMessage&)>
void percentile99(benchmark::State& state)
{
    ChaseMessage message;
    std::array<std::chrono::nanoseconds, kBatch> costs;
    for (auto _ : state) {
        for (auto& cost : costs) {
            const auto start = std::chrono::steady_clock::now();
            Post(message);
            cost = std::chrono::steady_clock::now() - start;
            ++message.fSample;
        }
        std::nth_element(costs.begin(), costs.begin() + kPercentileIndex, costs.end());
        state.SetIterationTime(std::chrono::duration<double>(costs[kPercentileIndex]).count());
    }
}

BENCHMARK(mean<postOurs>)->Name("logthread_post/ours")->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(mean<postPeer>)->Name("logthread_post/peer")->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(percentile99<postOurs>)
    ->Name("logthread_post_p99/ours")
    ->Threads(1)
    ->Threads(4)
    ->Iterations(2000)
    ->UseManualTime();
BENCHMARK(percentile99<postPeer>)
    ->Name("logthread_post_p99/peer")
    ->Threads(1)
    ->Threads(4)
    ->Iterations(2000)
    ->UseManualTime();

} // namespace

BENCHMARK_MAIN();
