// workloop_dispatch: the cost of one dispatched item of a work-loop thread with n repeating items
// of distinct fire times, against n boost::asio::steady_timers re-armed from their handlers on an
// io_context run by one thread. Arguments: the number of items, and whether all of them are due in
// one pass (1) or one at a time, each handing the turn to the next (0).

#include "Util/WorkLoop/WorkLoopThread.h"

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// An hour: items that are not due stay out of the way.
constexpr unsigned kParkedMs = 3600 * 1000;
constexpr uint64_t kBatch = 20000;
// Each iteration times a whole batch, but reports the cost of one item.
constexpr benchmark::IterationCount kBatches = 30;

// Counts dispatches; the measuring thread waits for a count without spinning against the loop.
class Dispatches
{
public:
    void Count()
    {
        uint64_t count = fCount.fetch_add(1, std::memory_order_relaxed) + 1;
        if (count == fTarget.load(std::memory_order_relaxed)) {
            std::lock_guard lock(fLock);
            fReached.notify_all();
        }
    }

    // Waits for `more` dispatches; answers how many came and how long they took.
    std::pair<uint64_t, double> Measure(uint64_t more)
    {
        uint64_t from = fCount.load();
        Clock::time_point start = Clock::now();
        fTarget.store(from + more);
        std::unique_lock lock(fLock);
        fReached.wait(lock, [&] { return fCount.load() >= from + more; });
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return {fCount.load() - from, seconds};
    }

private:
    std::atomic<uint64_t> fCount{0};
    std::atomic<uint64_t> fTarget{0};
    std::mutex fLock;
    std::condition_variable fReached;
};

template <typename Setup>
void Run(benchmark::State& state, Setup&& setUp)
{
    Dispatches dispatches;
    auto running = setUp(dispatches);
    for (auto _ : state) {
        auto [count, seconds] = dispatches.Measure(kBatch);
        state.SetIterationTime(seconds / double(count));
    }
}

// Ours: items on a WorkLoopThread2.
struct OurItems
{
    struct Item
    {
        Pellix::WorkLoopTimer fTimer;
        Item* fNext = nullptr;
        OurItems* fOwner = nullptr;
    };

    OurItems(Dispatches& dispatches, size_t n, bool allDue)
        : fDispatches(dispatches), fItems(n), fAllDue(allDue)
    {
        fThread.Start();
        for (size_t i = 0; i < n; ++i) {
            Item& item = fItems[i];
            item.fNext = &fItems[(i + 1) % n];
            item.fOwner = this;
            item.fTimer.Init(Fire, &item);
        }
        // Listed one by one, each at a distinct time; in turns, all but the first wait parked, and
        // the first goes last, as the loop runs meanwhile.
        for (size_t i = n; i-- > 0;) {
            fThread.fWorkLoop->AddTimer(&fItems[i].fTimer, allDue || i == 0 ? 0 : kParkedMs, true);
        }
    }

    ~OurItems()
    {
        for (Item& item : fItems) {
            fThread.fWorkLoop->RemoveItem(&item.fTimer);
            item.fTimer.WaitForRunToComplete();
        }
        fThread.Stop();
    }

    static bool Fire(Pellix::WorkLoopItem*, void* userData)
    {
        auto* item = static_cast<Item*>(userData);
        OurItems& owner = *item->fOwner;
        owner.fDispatches.Count();
        if (!owner.fAllDue) {
            // Parks itself and hands the turn on: one item is due in each pass.
            owner.fThread.fWorkLoop->AddTimer(&item->fTimer, kParkedMs, true);
            owner.fThread.fWorkLoop->AddTimer(&item->fNext->fTimer, 0, true);
        }
        return true;
    }

    Dispatches& fDispatches;
    std::vector<Item> fItems;
    bool fAllDue;
    Pellix::WorkLoopThread2 fThread;
};

// The peer: steady_timers on an io_context run by one thread.
struct PeerTimers
{
    PeerTimers(Dispatches& dispatches, size_t n, bool allDue) : fDispatches(dispatches), fAllDue(allDue)
    {
        for (size_t i = 0; i < n; ++i) {
            fTimers.push_back(std::make_unique<boost::asio::steady_timer>(fContext));
        }
        for (size_t i = 0; i < n; ++i) {
            Arm(i, allDue || i == 0 ? std::chrono::milliseconds(0) : std::chrono::milliseconds(kParkedMs));
        }
        fThread = std::thread([this] { fContext.run(); });
    }

    ~PeerTimers()
    {
        fContext.stop();
        fThread.join();
    }

    void Arm(size_t i, std::chrono::milliseconds after)
    {
        fTimers[i]->expires_after(after);
        fTimers[i]->async_wait([this, i](const boost::system::error_code& error) {
            if (error) {
                return;
            }
            fDispatches.Count();
            if (fAllDue) {
                Arm(i, std::chrono::milliseconds(0));
            } else {
                Arm(i, std::chrono::milliseconds(kParkedMs));
                Arm((i + 1) % fTimers.size(), std::chrono::milliseconds(0));
            }
        });
    }

    Dispatches& fDispatches;
    bool fAllDue;
    boost::asio::io_context fContext;
    std::vector<std::unique_ptr<boost::asio::steady_timer>> fTimers;
    std::thread fThread;
};

void Ours(benchmark::State& state)
{
    Run(state, [&](Dispatches& dispatches) {
        return std::make_unique<OurItems>(dispatches, size_t(state.range(0)), state.range(1) != 0);
    });
}

void Peer(benchmark::State& state)
{
    Run(state, [&](Dispatches& dispatches) {
        return std::make_unique<PeerTimers>(dispatches, size_t(state.range(0)), state.range(1) != 0);
    });
}

void Sizes(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgNames({"items", "all_due"});
    for (int64_t allDue : {0, 1}) {
        for (int64_t items : {10, 100, 1000}) {
            benchmark->Args({items, allDue});
        }
    }
    benchmark->UseManualTime()->Iterations(kBatches)->Unit(benchmark::kNanosecond);
}

BENCHMARK(Ours)->Name("workloop_dispatch/ours")->Apply(Sizes);
BENCHMARK(Peer)->Name("workloop_dispatch/peer")->Apply(Sizes);

} // namespace

BENCHMARK_MAIN();
