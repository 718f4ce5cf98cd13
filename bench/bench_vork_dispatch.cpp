// Handing work to another thread: vork::RunLoopDispatcher<wrapped_lambda<void(), 128, 8>, 100> on a
// run-loop thread and a vork::MessagePump of the same message, against boost::asio::post on an
// io_context run by one thread. Every message is a small lambda; the peer posts the same lambda.
//
// Pairs:
//   vork_dispatch_post/.../cost, vork_pump_post/.../cost   the posting thread's time per post, in
//       batches of 50 that the receiver keeps up with (goal: at most the peer's)
//   vork_pump_latency/.../p50, p99                          post-to-run latency from a foreign thread
//   vork_pump_burst/.../1thread, 4threads                   100,000 posts until all have run
//   vork_dispatch_latency_less_wake/.../p50, p99            the dispatcher's post-to-run latency less
//       its 100-microsecond wake delay, a design choice, beside the peer's latency, for information
//   vork_dispatch_burst_vs_limit/.../1thread                the dispatcher's one-thread burst against
//       the bound its design sets (at most 100 messages a pass, each pass 100 microseconds after the
//       last one ended: below 1,000,000 per second); the peer side is that bound, not a program, for
//       information
//   vork_dispatch_burst/.../1thread, 4threads               the dispatcher's bursts against the peer,
//       for information: blocked writers are released one per pass

#include <MessagePump.h>
#include <RunLoop.h>
#include <RunLoopDispatcher.h>
#include <WrappedLambda.h>

#include <benchmark/benchmark.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <sys/prctl.h>

namespace {

using Clock = std::chrono::steady_clock;
using Message = vork::wrapped_lambda<void(), 128, 8>;

constexpr int kBatch = 50;
constexpr int kLatencySamples = 200;
constexpr long kBurst = 100000;
constexpr auto kWakeDelay = std::chrono::microseconds(100);

// What every message does: count itself, and note when it ran.
struct Receipt
{
    std::atomic<long> fRuns{0};
    std::atomic<Clock::rep> fLastRun{0};

    void ran()
    {
        fLastRun.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        fRuns.fetch_add(1, std::memory_order_release);
    }

    void waitFor(long runs) const
    {
        while (fRuns.load(std::memory_order_acquire) < runs) {
            std::this_thread::yield();
        }
    }

    // Waits without taking a processor from the threads being measured, and answers when the last
    // of the runs happened.
    Clock::time_point waitQuietlyFor(long runs) const
    {
        while (fRuns.load(std::memory_order_acquire) < runs) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return Clock::time_point{Clock::duration{fLastRun.load(std::memory_order_relaxed)}};
    }
};

class Dispatcher
{
public:
    Dispatcher()
        : fLoop([this] {
              // The loop's timers fire when due, as on macOS, instead of up to 50 microseconds late,
              // Linux's default slack for timed waits.
              prctl(PR_SET_TIMERSLACK, 1);
              fDispatcher = std::make_unique<Queue>([](const Message& message) { message(); });
          })
    {}

    ~Dispatcher()
    {
        fLoop.stop();
        fDispatcher.reset();
    }

    template <typename F>
    void post(F&& message)
    {
        fDispatcher->post(std::forward<F>(message));
    }

private:
    using Queue = vork::RunLoopDispatcher<Message, 100>;
    std::unique_ptr<Queue> fDispatcher;
    vork::RunLoop fLoop;
};

class Pump
{
public:
    Pump() { fPump.start(); }

    template <typename F>
    void post(F&& message)
    {
        fPump.post(std::forward<F>(message));
    }

private:
    vork::MessagePump<Message, 100> fPump{[](const Message& message) { message(); }};
};

class Asio
{
public:
    Asio() : fThread([this] { fContext.run(); }) {}

    ~Asio()
    {
        fWork.reset();
        fThread.join();
    }

    template <typename F>
    void post(F&& message)
    {
        boost::asio::post(fContext, std::forward<F>(message));
    }

private:
    boost::asio::io_context fContext{1};
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> fWork{fContext.get_executor()};
    std::thread fThread;
};

template <typename Receiver>
void postCost(benchmark::State& state)
{
    Receiver receiver;
    Receipt receipt;
    long posted = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            receiver.post([&receipt] { receipt.ran(); });
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        posted += kBatch;
        receipt.waitFor(posted);
    }
    state.SetItemsProcessed(posted);
}

// state.range(0) is the percentile. With `lessWake`, the dispatcher's wake delay is taken off.
template <typename Receiver, bool lessWake = false>
void latency(benchmark::State& state)
{
    Receiver receiver;
    Receipt receipt;
    long posted = 0;
    std::vector<double> samples(kLatencySamples);
    for (auto _ : state) {
        for (auto& sample : samples) {
            const auto start = Clock::now();
            receiver.post([&receipt] { receipt.ran(); });
            receipt.waitFor(++posted);
            const Clock::time_point ran{Clock::duration{receipt.fLastRun.load(std::memory_order_relaxed)}};
            sample = std::chrono::duration<double>(ran - start - (lessWake ? kWakeDelay : Clock::duration{}))
                         .count();
        }
        auto at = samples.begin() + static_cast<long>(state.range(0)) * (kLatencySamples - 1) / 100;
        std::nth_element(samples.begin(), at, samples.end());
        state.SetIterationTime(std::max(*at, 0.0));
    }
}

// state.range(0) is the number of posting threads, which share the burst.
template <typename Receiver>
void burst(benchmark::State& state)
{
    const int posters = static_cast<int>(state.range(0));
    Receiver receiver;
    Receipt receipt;
    long posted = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int poster = 0; poster < posters; ++poster) {
            threads.emplace_back([&] {
                for (long i = 0; i < kBurst / posters; ++i) {
                    receiver.post([&receipt] { receipt.ran(); });
                }
            });
        }
        posted += kBurst / posters * posters;
        const Clock::time_point end = receipt.waitQuietlyFor(posted);
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        for (auto& thread : threads) {
            thread.join();
        }
    }
    state.SetItemsProcessed(posted);
}

// The bound the dispatcher's design sets: below one message per microsecond.
void burstLimit(benchmark::State& state)
{
    for (auto _ : state) {
        state.SetIterationTime(double(kBurst) * 1e-6);
    }
}

void registerAll()
{
    auto manual = [](benchmark::internal::Benchmark* benchmark) {
        benchmark->UseManualTime()->Unit(benchmark::kMicrosecond);
    };
    manual(benchmark::RegisterBenchmark("vork_dispatch_post/ours/cost", postCost<Dispatcher>));
    manual(benchmark::RegisterBenchmark("vork_dispatch_post/peer/cost", postCost<Asio>));
    manual(benchmark::RegisterBenchmark("vork_pump_post/ours/cost", postCost<Pump>));
    manual(benchmark::RegisterBenchmark("vork_pump_post/peer/cost", postCost<Asio>));
    // Both sides of a pair run the same number of iterations, so that their rows match.
    for (int percentile : {50, 99}) {
        const std::string row = "/p" + std::to_string(percentile);
        manual(benchmark::RegisterBenchmark(("vork_pump_latency/ours" + row).c_str(), latency<Pump>)
                   ->Arg(percentile)
                   ->Iterations(10));
        manual(benchmark::RegisterBenchmark(("vork_pump_latency/peer" + row).c_str(), latency<Asio>)
                   ->Arg(percentile)
                   ->Iterations(10));
        manual(benchmark::RegisterBenchmark(("vork_dispatch_latency_less_wake/ours" + row).c_str(),
                                            latency<Dispatcher, true>)
                   ->Arg(percentile)
                   ->Iterations(10));
        manual(benchmark::RegisterBenchmark(("vork_dispatch_latency_less_wake/peer" + row).c_str(),
                                            latency<Asio>)
                   ->Arg(percentile)
                   ->Iterations(10));
    }
    for (int posters : {1, 4}) {
        const std::string row = "/" + std::to_string(posters) + "thread" + (posters > 1 ? "s" : "");
        manual(benchmark::RegisterBenchmark(("vork_pump_burst/ours" + row).c_str(), burst<Pump>)
                   ->Arg(posters)
                   ->Iterations(5));
        manual(benchmark::RegisterBenchmark(("vork_pump_burst/peer" + row).c_str(), burst<Asio>)
                   ->Arg(posters)
                   ->Iterations(5));
        // Four posters into the dispatcher take one message per pass each, some ten seconds.
        const int iterations = posters > 1 ? 1 : 5;
        manual(benchmark::RegisterBenchmark(("vork_dispatch_burst/ours" + row).c_str(), burst<Dispatcher>)
                   ->Arg(posters)
                   ->Iterations(iterations));
        manual(benchmark::RegisterBenchmark(("vork_dispatch_burst/peer" + row).c_str(), burst<Asio>)
                   ->Arg(posters)
                   ->Iterations(iterations));
    }
    manual(benchmark::RegisterBenchmark("vork_dispatch_burst_vs_limit/ours/1thread", burst<Dispatcher>)
               ->Arg(1)
               ->Iterations(5));
    manual(benchmark::RegisterBenchmark("vork_dispatch_burst_vs_limit/peer/1thread", burstLimit)
               ->Arg(1)
               ->Iterations(5));
}

} // namespace

int main(int argc, char** argv)
{
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
