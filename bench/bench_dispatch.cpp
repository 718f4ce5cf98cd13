// dispatch_serial: a serial dispatch queue against a Boost.Asio strand on an io_context thread.
// Throughput posts batches of small blocks and waits for the last; latency is the time from posting
// one block to an idle queue until the block starts running.

#include <benchmark/benchmark.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <condition_variable>
#include <dispatch/dispatch.h>
#include <mutex>
#include <thread>

namespace {

constexpr int kBatch = 1000;

// Lets the benchmark thread wait until the side under test has run a block; the same for both.
class Signal
{
public:
    void raise()
    {
        std::lock_guard<std::mutex> lock(fLock);
        fRaised = true;
        fChanged.notify_one();
    }

    void waitAndReset()
    {
        std::unique_lock<std::mutex> lock(fLock);
        fChanged.wait(lock, [this] { return fRaised; });
        fRaised = false;
    }

private:
    std::mutex fLock;
    std::condition_variable fChanged;
    bool fRaised = false;
};

class OurQueue
{
public:
    ~OurQueue() { dispatch_release(fQueue); }

    template <typename Block>
    void post(Block&& block)
    {
        dispatch_async(fQueue, std::forward<Block>(block));
    }

private:
    dispatch_queue_t fQueue = dispatch_queue_create("bench.dispatch_serial", DISPATCH_QUEUE_SERIAL);
};

class PeerStrand
{
public:
    PeerStrand() : fThread([this] { fContext.run(); }) {}

    ~PeerStrand()
    {
        fWork.reset();
        fThread.join();
    }

    template <typename Block>
    void post(Block&& block)
    {
        boost::asio::post(fStrand, std::forward<Block>(block));
    }

private:
    boost::asio::io_context fContext{1};
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> fWork{fContext.get_executor()};
    boost::asio::strand<boost::asio::io_context::executor_type> fStrand{fContext.get_executor()};
    std::thread fThread;
};

template <typename Side>
void throughput(benchmark::State& state)
{
    Side side;
    Signal done;
    long counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch - 1; ++i) {
            side.post([&counter] { ++counter; });
        }
        side.post([&counter, &done] {
            ++counter;
            done.raise();
        });
        done.waitAndReset();
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * kBatch);
}

template <typename Side>
void latency(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    Side side;
    Signal ran;
    Clock::time_point started;
    for (auto _ : state) {
        const Clock::time_point posted = Clock::now();
        side.post([&ran, &started] {
            started = Clock::now();
            ran.raise();
        });
        ran.waitAndReset();
        state.SetIterationTime(std::chrono::duration<double>(started - posted).count());
    }
}

} // namespace

BENCHMARK(throughput<OurQueue>)->Name("dispatch_serial/ours/throughput")->UseRealTime();
BENCHMARK(throughput<PeerStrand>)->Name("dispatch_serial/peer/throughput")->UseRealTime();
BENCHMARK(latency<OurQueue>)->Name("dispatch_serial/ours/latency")->UseManualTime();
BENCHMARK(latency<PeerStrand>)->Name("dispatch_serial/peer/latency")->UseManualTime();

BENCHMARK_MAIN();
