// runloop_wakeup: a cross-thread round trip (signal and wake a source on another thread's loop,
// whose perform signals back to the benchmark thread's loop) against GLib main contexts, where
// g_main_context_invoke hands a call to the other thread's context and back. Each iteration times
// a batch of round trips and reports the batch's median or 99th percentile.
//
// runloop_timers: arming 10,000 one-shot timers at distinct, already passed dates (in the same
// shuffled order on both sides) on the benchmark thread's loop and serving them all, against GLib
// timeout sources on a GMainContext.

#include <CoreFoundation/CoreFoundation.h>
#include <benchmark/benchmark.h>
#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kRoundTrips = 1000;
// Fixed: each iteration reports one round trip's time, so the library would otherwise run
// thousands of batches to fill its minimum time.
constexpr int kBatches = 20;
constexpr int kTimers = 10000;

using Clock = std::chrono::steady_clock;

// Microseconds before a common past instant, distinct and shuffled.
const std::vector<int>& timerOffsets()
{
    static const std::vector<int> offsets = [] {
        std::vector<int> values(kTimers);
        std::iota(values.begin(), values.end(), 0);
        std::shuffle(values.begin(), values.end(), std::mt19937(20240611));
        return values;
    }();
    return offsets;
}

// The rank-th of the sorted samples, in seconds.
double percentile(std::vector<double>& samples, double rank)
{
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, size_t(rank * double(samples.size())))];
}

// A version-0 source whose perform calls `perform(info)`.
CFRunLoopSourceRef makeSource(void (*perform)(void*), void* info)
{
    CFRunLoopSourceContext context{};
    context.info = info;
    context.perform = perform;
    return CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
}

class OurRoundTrip
{
public:
    OurRoundTrip()
    {
        fHome = CFRunLoopGetCurrent();
        fReply = makeSource([](void*) {}, nullptr);
        CFRunLoopAddSource(fHome, fReply, kCFRunLoopDefaultMode);
        fThread = std::thread([this] {
            fRequest = makeSource(&OurRoundTrip::answer, this);
            CFRunLoopAddSource(CFRunLoopGetCurrent(), fRequest, kCFRunLoopDefaultMode);
            CFRunLoopPerformBlock(CFRunLoopGetCurrent(), kCFRunLoopDefaultMode,
                                  [this] { fAway.store(CFRunLoopGetCurrent()); });
            CFRunLoopRun();
            CFRunLoopSourceInvalidate(fRequest);
            CFRelease(fRequest);
        });
        while (!fAway.load()) {
            std::this_thread::yield();
        }
    }

    ~OurRoundTrip()
    {
        CFRunLoopPerformBlock(fAway.load(), kCFRunLoopDefaultMode,
                              [] { CFRunLoopStop(CFRunLoopGetCurrent()); });
        CFRunLoopWakeUp(fAway.load());
        fThread.join();
        CFRunLoopSourceInvalidate(fReply);
        CFRelease(fReply);
    }

    void roundTrip()
    {
        CFRunLoopSourceSignal(fRequest);
        CFRunLoopWakeUp(fAway.load());
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1e9, true);
    }

private:
    static void answer(void* info)
    {
        auto* self = static_cast<OurRoundTrip*>(info);
        CFRunLoopSourceSignal(self->fReply);
        CFRunLoopWakeUp(self->fHome);
    }

    CFRunLoopRef fHome;
    CFRunLoopSourceRef fReply;
    CFRunLoopSourceRef fRequest = nullptr;
    std::atomic<CFRunLoopRef> fAway{nullptr};
    std::thread fThread;
};

class PeerRoundTrip
{
public:
    PeerRoundTrip()
    {
        fThread = std::thread([this] {
            g_main_context_push_thread_default(fAway);
            g_main_loop_run(fAwayLoop);
            g_main_context_pop_thread_default(fAway);
        });
        g_main_context_push_thread_default(fHome);
    }

    ~PeerRoundTrip()
    {
        g_main_context_invoke(
            fAway,
            [](gpointer loop) {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return gboolean(G_SOURCE_REMOVE);
            },
            fAwayLoop);
        fThread.join();
        g_main_context_pop_thread_default(fHome);
        g_main_loop_unref(fAwayLoop);
        g_main_context_unref(fAway);
        g_main_context_unref(fHome);
    }

    void roundTrip()
    {
        fAnswered = false;
        g_main_context_invoke(fAway, &PeerRoundTrip::answer, this);
        while (!fAnswered) {
            g_main_context_iteration(fHome, TRUE);
        }
    }

private:
    static gboolean answer(gpointer data)
    {
        auto* self = static_cast<PeerRoundTrip*>(data);
        g_main_context_invoke(self->fHome, &PeerRoundTrip::answered, self);
        return G_SOURCE_REMOVE;
    }

    static gboolean answered(gpointer data)
    {
        static_cast<PeerRoundTrip*>(data)->fAnswered = true;
        return G_SOURCE_REMOVE;
    }

    GMainContext* fHome = g_main_context_new();
    GMainContext* fAway = g_main_context_new();
    GMainLoop* fAwayLoop = g_main_loop_new(fAway, FALSE);
    bool fAnswered = false;
    std::thread fThread;
};

template <typename Side>
void wakeup(benchmark::State& state, double rank)
{
    Side side;
    std::vector<double> samples(kRoundTrips);
    for (auto _ : state) {
        for (double& sample : samples) {
            auto start = Clock::now();
            side.roundTrip();
            sample = std::chrono::duration<double>(Clock::now() - start).count();
        }
        state.SetIterationTime(percentile(samples, rank));
    }
}

template <typename Side>
void wakeupMedian(benchmark::State& state)
{
    wakeup<Side>(state, 0.5);
}

template <typename Side>
void wakeupP99(benchmark::State& state)
{
    wakeup<Side>(state, 0.99);
}

void ourTimers(benchmark::State& state)
{
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    std::vector<CFRunLoopTimerRef> timers(kTimers);
    long fired = 0;
    CFRunLoopTimerContext context{};
    context.info = &fired;
    for (auto _ : state) {
        CFAbsoluteTime past = CFAbsoluteTimeGetCurrent() - 1;
        for (int index = 0; index < kTimers; ++index) {
            timers[index] = CFRunLoopTimerCreate(
                kCFAllocatorDefault, past - timerOffsets()[index] * 1e-6, 0, 0, 0,
                [](CFRunLoopTimerRef, void* info) { ++*static_cast<long*>(info); }, &context);
            CFRunLoopAddTimer(loop, timers[index], kCFRunLoopDefaultMode);
        }
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
        for (CFRunLoopTimerRef timer : timers) {
            CFRelease(timer);
        }
    }
    if (fired != long(state.iterations()) * kTimers) {
        state.SkipWithError("not every timer fired");
    }
}

void peerTimers(benchmark::State& state)
{
    GMainContext* context = g_main_context_new();
    long fired = 0;
    for (auto _ : state) {
        gint64 past = g_get_monotonic_time() - 1000000;
        for (int index = 0; index < kTimers; ++index) {
            GSource* source = g_timeout_source_new(0);
            g_source_set_ready_time(source, past - timerOffsets()[index]);
            g_source_set_callback(
                source,
                [](gpointer data) {
                    ++*static_cast<long*>(data);
                    return gboolean(G_SOURCE_REMOVE);
                },
                &fired, nullptr);
            g_source_attach(source, context);
            g_source_unref(source);
        }
        while (g_main_context_iteration(context, FALSE)) {
        }
    }
    g_main_context_unref(context);
    if (fired != long(state.iterations()) * kTimers) {
        state.SkipWithError("not every timer fired");
    }
}

} // namespace

BENCHMARK(wakeupMedian<OurRoundTrip>)
    ->Name("runloop_wakeup/ours/median")
    ->UseManualTime()
    ->Iterations(kBatches);
BENCHMARK(wakeupMedian<PeerRoundTrip>)
    ->Name("runloop_wakeup/peer/median")
    ->UseManualTime()
    ->Iterations(kBatches);
BENCHMARK(wakeupP99<OurRoundTrip>)->Name("runloop_wakeup/ours/p99")->UseManualTime()->Iterations(kBatches);
BENCHMARK(wakeupP99<PeerRoundTrip>)->Name("runloop_wakeup/peer/p99")->UseManualTime()->Iterations(kBatches);
BENCHMARK(ourTimers)->Name("runloop_timers/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(peerTimers)->Name("runloop_timers/peer")->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
