// vork::LocklessQueue<T, 100> against two established bounded lock-free queues of the same capacity:
// atomic_queue's AtomicQueue2 (holding exactly 100 elements means leaving its contention-minimising
// layout off, which only works with a power of two) and boost::lockfree::queue with a fixed capacity
// of 100.
// Elements: the log thread's 257-byte slot (a 256-byte text and a flag) and an 8-byte word, both
// trivially copyable since Boost's queue takes nothing else. Producers retry a full queue, yielding
// between attempts, as the consumer retries an empty one.
//
// Pairs (goal: ours at least as fast as each peer):
//   vork_queue_aq/.../<row>, vork_queue_boost/.../<row>, rows:
//     roundtrip_<size>         one post and one take on one thread
//     producers<n>_<size>      n producers and one consumer, 20,000 messages per producer
//     latency_p<q>_<size>      producer-side time per post at the percentile, 4 producers that
//                              post once per message, as the log thread does

#include <LocklessQueue.h>

#include <atomic_queue/atomic_queue.h>
#include <benchmark/benchmark.h>
#include <boost/lockfree/queue.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct LogSlot
{
    char fText[256];
    bool fValid;
};

using Word = uint64_t;

template <typename T>
T makeElement(uint64_t value)
{
    T element{};
    if constexpr (std::is_same_v<T, Word>) {
        element = value + 1;
    } else {
        element.fText[0] = static_cast<char>(value);
        element.fValid = true;
    }
    return element;
}

// What the consumer does with each value it takes.
template <typename T>
void consume(const T& element)
{
    benchmark::DoNotOptimize(&element);
}

template <typename T>
class Ours
{
public:
    bool push(const T& element)
    {
        typename Queue::WriteTransaction transaction(*fQueue);
        return transaction.writeAndCommit(element);
    }

    template <typename Consume>
    bool pop(Consume&& consume)
    {
        typename Queue::ReadTransaction transaction(*fQueue);
        auto value = transaction.readAndCommit();
        if (!value) {
            return false;
        }
        consume(*value);
        return true;
    }

private:
    using Queue = vork::LocklessQueue<T, 100>;
    std::unique_ptr<Queue> fQueue = std::make_unique<Queue>();
};

template <typename T>
class AtomicQueue
{
public:
    bool push(const T& element) { return fQueue->try_push(element); }

    template <typename Consume>
    bool pop(Consume&& consume)
    {
        T element;
        if (!fQueue->try_pop(element)) {
            return false;
        }
        consume(element);
        return true;
    }

private:
    using Queue = atomic_queue::AtomicQueue2<T, 100, false>;
    std::unique_ptr<Queue> fQueue = std::make_unique<Queue>();
};

template <typename T>
class BoostQueue
{
public:
    bool push(const T& element) { return fQueue.bounded_push(element); }

    template <typename Consume>
    bool pop(Consume&& consume)
    {
        T element;
        if (!fQueue.pop(element)) {
            return false;
        }
        consume(element);
        return true;
    }

private:
    boost::lockfree::queue<T, boost::lockfree::capacity<100>> fQueue;
};

template <typename Queue, typename T>
void roundTrip(benchmark::State& state)
{
    Queue queue;
    const T element = makeElement<T>(1);
    for (auto _ : state) {
        queue.push(element);
        queue.pop(consume<T>);
    }
}

template <typename Queue, typename T>
void post(Queue& queue, const T& element)
{
    while (!queue.push(element)) {
        std::this_thread::yield();
    }
}

// Runs `producers` threads against one consumer (the calling thread) and returns the wall time
// from the start signal until the consumer has taken everything. Every post is retried until the
// queue takes it.
template <typename Queue, typename T>
double produceAndConsume(int producers, int messagesEach)
{
    Queue queue;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int producer = 0; producer < producers; ++producer) {
        threads.emplace_back([&, producer] {
            while (!go.load(std::memory_order_acquire)) {
            }
            const T element = makeElement<T>(producer);
            for (int i = 0; i < messagesEach; ++i) {
                post(queue, element);
            }
        });
    }
    const long total = long(producers) * messagesEach;
    const auto start = std::chrono::steady_clock::now();
    go.store(true, std::memory_order_release);
    for (long received = 0; received < total;) {
        if (queue.pop(consume<T>)) {
            ++received;
        } else {
            std::this_thread::yield();
        }
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto& thread : threads) {
        thread.join();
    }
    return elapsed;
}

// Work between two posts of a producer, so that the consumer keeps up and the posts measure the
// queue rather than waiting for room.
void pace()
{
    for (int i = 0; i < 2000; ++i) {
        benchmark::DoNotOptimize(i);
    }
}

// The real-time producer's view: producers post once each time, as the log thread does (a full
// queue drops the message), and each post's duration is recorded.
template <typename Queue, typename T>
std::vector<double> postDurations(int producers, int messagesEach)
{
    Queue queue;
    std::atomic<bool> go{false};
    std::atomic<int> finished{0};
    std::vector<std::vector<double>> durations(producers);
    std::vector<std::thread> threads;
    for (int producer = 0; producer < producers; ++producer) {
        threads.emplace_back([&, producer] {
            durations[producer].reserve(messagesEach);
            while (!go.load(std::memory_order_acquire)) {
            }
            const T element = makeElement<T>(producer);
            for (int i = 0; i < messagesEach; ++i) {
                pace();
                const auto start = std::chrono::steady_clock::now();
                const bool taken = queue.push(element);
                durations[producer].push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
                benchmark::DoNotOptimize(taken);
            }
            ++finished;
        });
    }
    go.store(true, std::memory_order_release);
    while (finished < producers || queue.pop(consume<T>)) {
        queue.pop(consume<T>);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::vector<double> all;
    for (auto& perProducer : durations) {
        all.insert(all.end(), perProducer.begin(), perProducer.end());
    }
    return all;
}

constexpr int kMessagesEach = 20000;

template <typename Queue, typename T>
void throughput(benchmark::State& state)
{
    const int producers = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.SetIterationTime(produceAndConsume<Queue, T>(producers, kMessagesEach));
    }
    state.SetItemsProcessed(state.iterations() * producers * kMessagesEach);
}

// state.range(0) is the percentile in tenths of a percent.
template <typename Queue, typename T>
void postLatency(benchmark::State& state)
{
    constexpr int kProducers = 4;
    const double quantile = double(state.range(0)) / 1000;
    for (auto _ : state) {
        std::vector<double> durations = postDurations<Queue, T>(kProducers, kMessagesEach);
        auto at = durations.begin() + static_cast<long>(quantile * double(durations.size() - 1));
        std::nth_element(durations.begin(), at, durations.end());
        state.SetIterationTime(*at);
    }
}

template <template <typename> class Queue, typename T>
void registerRows(const std::string& pair, const std::string& side, const std::string& size)
{
    const std::string prefix = pair + "/" + side + "/";
    benchmark::RegisterBenchmark((prefix + "roundtrip_" + size).c_str(), roundTrip<Queue<T>, T>);
    for (int producers : {1, 2, 4, 8}) {
        benchmark::RegisterBenchmark((prefix + "producers" + std::to_string(producers) + "_" + size).c_str(),
                                     throughput<Queue<T>, T>)
            ->Arg(producers)
            ->UseManualTime()
            ->Iterations(10)
            ->Unit(benchmark::kMicrosecond);
    }
    for (int percentile : {500, 990, 999}) {
        benchmark::RegisterBenchmark((prefix + "latency_p" + std::to_string(percentile / 10) +
                                      (percentile % 10 ? "9" : "") + "_" + size)
                                         .c_str(),
                                     postLatency<Queue<T>, T>)
            ->Arg(percentile)
            ->UseManualTime()
            ->Iterations(10)
            ->Unit(benchmark::kNanosecond);
    }
}

template <typename T>
void registerSize(const std::string& size)
{
    registerRows<Ours, T>("vork_queue_aq", "ours", size);
    registerRows<AtomicQueue, T>("vork_queue_aq", "peer", size);
    registerRows<Ours, T>("vork_queue_boost", "ours", size);
    registerRows<BoostQueue, T>("vork_queue_boost", "peer", size);
}

} // namespace

int main(int argc, char** argv)
{
    registerSize<LogSlot>("256");
    registerSize<Word>("8");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
