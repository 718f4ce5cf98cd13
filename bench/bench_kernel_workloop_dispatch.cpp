// The kernel work loop against Boost.Asio's io_context on a worker thread: a signalled event source
// served on the loop's thread, and an action run through the gate, each waited for by the caller.

#include <IOKit/IOWorkLoop.h>
#include <libkern/c++/OSString.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Counts its passes and wakes the waiting caller.
class BenchSource : public IOEventSource
{
    OSDeclareDefaultStructors(BenchSource)

        public : void signalAndWait()
    {
        std::unique_lock lock(fMutex);
        const uint64_t target = ++fRequested;
        lock.unlock();
        signalWorkAvailable();
        lock.lock();
        fServed.wait(lock, [&] { return fDone >= target; });
    }

protected:
    bool checkForWork() override
    {
        std::lock_guard lock(fMutex);
        if (fDone < fRequested) {
            fDone = fRequested;
            fServed.notify_one();
        }
        return false;
    }

private:
    std::mutex fMutex;
    std::condition_variable fServed;
    uint64_t fRequested = 0;
    uint64_t fDone = 0;
};

OSDefineMetaClassAndStructors(BenchSource, IOEventSource)

    struct AsioQueue
{
    AsioQueue() : guard(boost::asio::make_work_guard(context)), worker([this] { context.run(); }) {}
    ~AsioQueue()
    {
        guard.reset();
        worker.join();
    }

    template <typename Work>
    void postAndWait(Work work)
    {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        boost::asio::post(context, [&] {
            work();
            std::lock_guard guard(lock);
            finished = true;
            done.notify_one();
        });
        std::unique_lock guard(lock);
        done.wait(guard, [&] { return finished; });
    }

    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard;
    std::thread worker;
};

void signalOurs(benchmark::State& state)
{
    IOWorkLoop* loop = IOWorkLoop::workLoop();
    OSString* owner = OSString::withCString("bench");
    auto* source = new BenchSource;
    source->init(owner);
    loop->addEventSource(source);
    for (auto _ : state) {
        source->signalAndWait();
    }
    loop->removeEventSource(source);
    source->release();
    loop->release();
    owner->release();
}

void signalPeer(benchmark::State& state)
{
    AsioQueue queue;
    int counter = 0;
    for (auto _ : state) {
        queue.postAndWait([&] { ++counter; });
    }
    benchmark::DoNotOptimize(counter);
}

void runActionOurs(benchmark::State& state)
{
    IOWorkLoop* loop = IOWorkLoop::workLoop();
    int counter = 0;
    for (auto _ : state) {
        loop->runAction(
            [](OSObject*, void* argument, void*, void*, void*) {
                ++*static_cast<int*>(argument);
                return IOReturn(kIOReturnSuccess);
            },
            loop, &counter);
    }
    benchmark::DoNotOptimize(counter);
    loop->release();
}

} // namespace

BENCHMARK(signalOurs)->Name("kernel_workloop_signal/ours")->UseRealTime();
BENCHMARK(signalPeer)->Name("kernel_workloop_signal/peer")->UseRealTime();
BENCHMARK(runActionOurs)->Name("kernel_workloop_action/ours")->UseRealTime();
BENCHMARK(signalPeer)->Name("kernel_workloop_action/peer")->UseRealTime();

BENCHMARK_MAIN();
