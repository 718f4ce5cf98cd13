// DriverKit's serial queues against Boost.Asio's io_context on a worker thread: a synchronous round
// trip from another thread, asynchronous throughput, and an action's delivery.

#include <DriverKit/DriverKit.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

constexpr int kBatch = 1000;

OSSharedPtr<IODispatchQueue> makeQueue()
{
    IODispatchQueue* queue = nullptr;
    IODispatchQueue::Create("bench", 0, 0, &queue);
    return OSSharedPtr<IODispatchQueue>(queue, OSNoRetain);
}

// An io_context served by one worker thread, as a serial queue.
struct AsioQueue
{
    AsioQueue() : guard(boost::asio::make_work_guard(context)), worker([this] { context.run(); }) {}
    ~AsioQueue()
    {
        guard.reset();
        worker.join();
    }

    // Posts and waits, as DispatchSync does.
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

void syncOurs(benchmark::State& state)
{
    auto queue = makeQueue();
    int counter = 0;
    for (auto _ : state) {
        queue->DispatchSync([&] { ++counter; });
    }
    benchmark::DoNotOptimize(counter);
}

void syncPeer(benchmark::State& state)
{
    AsioQueue queue;
    int counter = 0;
    for (auto _ : state) {
        queue.postAndWait([&] { ++counter; });
    }
    benchmark::DoNotOptimize(counter);
}

void asyncOurs(benchmark::State& state)
{
    auto queue = makeQueue();
    int counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            queue->DispatchAsync([&counter] { ++counter; });
        }
        queue->DispatchSync([] {});
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void asyncPeer(benchmark::State& state)
{
    AsioQueue queue;
    int counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            boost::asio::post(queue.context, [&counter] { ++counter; });
        }
        queue.postAndWait([] {});
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * kBatch);
}

std::atomic<int> gDelivered{0};

void actionOurs(benchmark::State& state)
{
    OSSharedPtr<IOService> service(new IOService, OSNoRetain);
    auto queue = makeQueue();
    service->SetDispatchQueue("Default", queue.get());
    OSAction* action = nullptr;
    OSAction::Create(service.get(), nullptr, 16,
                     OSAction::AsyncIOHandler([](OSObject*, OSAction*, IOReturn, uint32_t actual, uint64_t) {
                         gDelivered.fetch_add(int(actual), std::memory_order_relaxed);
                     }),
                     &action);
    OSSharedPtr<OSAction> held(action, OSNoRetain);
    OSAction::Arguments arguments;
    arguments.values[0] = 1;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            action->deliver(arguments);
        }
        queue->DispatchSync([] {});
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void actionPeer(benchmark::State& state)
{
    AsioQueue queue;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            const uint64_t values[3] = {0, 1, 2};
            boost::asio::post(queue.context,
                              [values] { gDelivered.fetch_add(int(values[1]), std::memory_order_relaxed); });
        }
        queue.postAndWait([] {});
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

} // namespace

BENCHMARK(syncOurs)->Name("driverkit_dispatch_sync/ours")->UseRealTime();
BENCHMARK(syncPeer)->Name("driverkit_dispatch_sync/peer")->UseRealTime();
BENCHMARK(asyncOurs)->Name("driverkit_dispatch_async/ours")->UseRealTime();
BENCHMARK(asyncPeer)->Name("driverkit_dispatch_async/peer")->UseRealTime();
BENCHMARK(actionOurs)->Name("driverkit_dispatch_action/ours")->UseRealTime();
BENCHMARK(actionPeer)->Name("driverkit_dispatch_action/peer")->UseRealTime();

BENCHMARK_MAIN();
