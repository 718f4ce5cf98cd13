// mach_semaphore: Mach semaphores against glibc's POSIX semaphores, the futex floor. Ping-pong
// passes a turn between two threads through two semaphores; signal posts to a semaphore nobody
// waits on.

#include <atomic>
#include <benchmark/benchmark.h>
#include <mach/mach.h>
#include <semaphore.h>
#include <thread>

namespace {

class OurSemaphore
{
public:
    OurSemaphore() { semaphore_create(mach_task_self(), &fSemaphore, SYNC_POLICY_FIFO, 0); }
    ~OurSemaphore() { semaphore_destroy(mach_task_self(), fSemaphore); }

    void signal() { semaphore_signal(fSemaphore); }
    void wait() { semaphore_wait(fSemaphore); }

private:
    semaphore_t fSemaphore = MACH_PORT_NULL;
};

class PeerSemaphore
{
public:
    PeerSemaphore() { sem_init(&fSemaphore, 0, 0); }
    ~PeerSemaphore() { sem_destroy(&fSemaphore); }

    void signal() { sem_post(&fSemaphore); }
    void wait() { sem_wait(&fSemaphore); }

private:
    sem_t fSemaphore;
};

template <typename Semaphore>
void pingPong(benchmark::State& state)
{
    Semaphore ping;
    Semaphore pong;
    std::atomic<bool> done{false};
    std::thread partner([&] {
        for (;;) {
            ping.wait();
            if (done.load(std::memory_order_relaxed)) {
                return;
            }
            pong.signal();
        }
    });
    for (auto _ : state) {
        ping.signal();
        pong.wait();
    }
    done = true;
    ping.signal();
    partner.join();
}

template <typename Semaphore>
void signal(benchmark::State& state)
{
    Semaphore semaphore;
    for (auto _ : state) {
        semaphore.signal();
    }
}

} // namespace

BENCHMARK(pingPong<OurSemaphore>)->Name("mach_semaphore/ours/pingpong")->UseRealTime();
BENCHMARK(pingPong<PeerSemaphore>)->Name("mach_semaphore/peer/pingpong")->UseRealTime();
BENCHMARK(signal<OurSemaphore>)->Name("mach_semaphore/ours/signal");
BENCHMARK(signal<PeerSemaphore>)->Name("mach_semaphore/peer/signal");

BENCHMARK_MAIN();
