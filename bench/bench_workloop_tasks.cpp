// workloop_tasks: functions handed to a work-loop thread from another thread, against
// boost::asio's io_context run by one thread. Pairs: the latency from runTaskAsync to the start of
// the task against io_context post (50th and 99th percentile of each batch, one task at a time, to
// an idle loop),
// and the round trip of runTaskSync against a post followed by a wait on a std::future.

#include "Util/WorkLoop/WorkLoopThread.h"

#include <benchmark/benchmark.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBatch = 1000;
constexpr auto kIdle = std::chrono::microseconds(50);
// Each iteration times a whole batch, but reports one latency of it.
constexpr benchmark::IterationCount kBatches = 20;

// Our loop thread, and the peer's context with its thread.
struct OurLoop
{
    OurLoop() { fThread.Start(); }

    template <typename Task>
    void Post(Task task)
    {
        fThread.fWorkLoop->runTaskAsync(std::move(task));
    }

    template <typename Task>
    void Call(Task task)
    {
        fThread.fWorkLoop->runTaskSync(std::move(task));
    }

    Pellix::WorkLoopThread2 fThread;
};

struct PeerLoop
{
    PeerLoop()
    {
        fThread = std::thread([this] { fContext.run(); });
    }

    ~PeerLoop()
    {
        fGuard.reset();
        fThread.join();
    }

    template <typename Task>
    void Post(Task task)
    {
        boost::asio::post(fContext, std::move(task));
    }

    template <typename Task>
    void Call(Task task)
    {
        std::packaged_task<void()> call(std::move(task));
        std::future<void> done = call.get_future();
        boost::asio::post(fContext, std::move(call));
        done.wait();
    }

    boost::asio::io_context fContext;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> fGuard{fContext.get_executor()};
    std::thread fThread;
};

// The given percentile of post-to-start latencies. Each task is posted to an idle loop: the previous
// one has ended and the loop has had time to go to sleep.
template <typename Loop>
void PostLatency(benchmark::State& state)
{
    Loop loop;
    size_t percentile = size_t(state.range(0));
    std::array<double, kBatch> latencies;
    for (auto _ : state) {
        for (double& latency : latencies) {
            std::atomic<bool> ended{false};
            Clock::time_point posted = Clock::now();
            loop.Post([&] {
                latency = std::chrono::duration<double>(Clock::now() - posted).count();
                ended.store(true, std::memory_order_release);
            });
            while (!ended.load(std::memory_order_acquire)) {
            }
            std::this_thread::sleep_for(kIdle);
        }
        auto at = latencies.begin() + std::ptrdiff_t(kBatch * percentile / 100);
        std::nth_element(latencies.begin(), at, latencies.end());
        state.SetIterationTime(*at);
    }
}

template <typename Loop>
void CallRoundTrip(benchmark::State& state)
{
    Loop loop;
    int calls = 0;
    for (auto _ : state) {
        loop.Call([&] { ++calls; });
    }
    benchmark::DoNotOptimize(calls);
}

BENCHMARK(PostLatency<OurLoop>)
    ->Name("workloop_tasks/ours")
    ->Arg(50)
    ->Arg(99)
    ->UseManualTime()
    ->Iterations(kBatches);
BENCHMARK(PostLatency<PeerLoop>)
    ->Name("workloop_tasks/peer")
    ->Arg(50)
    ->Arg(99)
    ->UseManualTime()
    ->Iterations(kBatches);
BENCHMARK(CallRoundTrip<OurLoop>)->Name("workloop_tasks/ours/sync")->UseRealTime();
BENCHMARK(CallRoundTrip<PeerLoop>)->Name("workloop_tasks/peer/sync")->UseRealTime();

} // namespace

BENCHMARK_MAIN();
