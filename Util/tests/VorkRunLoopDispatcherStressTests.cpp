#include "VorkDeadline.h"

#include <RunLoopDispatcher.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Dispatcher = vork::RunLoopDispatcher<std::function<void()>, 100>;

constexpr int kPosters = 8;
constexpr int kRoundsEach = 2000;

// A thread that owns a dispatcher and serves its loop on the real clock until the dispatcher is
// stopped; it destroys the dispatcher once told that nobody posts any more.
class Owner
{
public:
    Owner()
        : fThread([this] {
              auto dispatcher =
                  std::make_unique<Dispatcher>([](const std::function<void()>& message) { message(); });
              fDispatcher = dispatcher.get();
              while (!dispatcher->stopped()) {
                  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, false);
              }
              while (!fPostersDone) {
                  std::this_thread::yield();
              }
          })
    {
        EXPECT_TRUE(VorkTesting::eventually([&] { return fDispatcher != nullptr; }));
    }

    ~Owner()
    {
        fPostersDone = true;
        fThread.join();
    }

    Dispatcher& dispatcher() { return *fDispatcher; }

private:
    std::atomic<Dispatcher*> fDispatcher{nullptr};
    std::atomic<bool> fPostersDone{false};
    std::thread fThread;
};

// Every poster posts, try-posts, posts synchronously and starts and stops a timer of its own.
// `ran` is written by the owner only; a poster reads its entry after its last synchronous post.
void postEveryKind(Dispatcher& dispatcher, std::vector<int>& ran, std::vector<int>& accepted,
                   std::atomic<long>& timerFires, bool& timerFiredAfterStop)
{
    auto record = [&ran](int round) { return [&ran, round] { ran.push_back(round); }; };
    std::shared_ptr<Dispatcher::Timer> timer;
    long firesAtStop = 0;
    for (int round = 0; round < kRoundsEach; ++round) {
        switch (round % 4) {
        case 0:
            dispatcher.post(record(round));
            accepted.push_back(round);
            break;
        case 1:
            if (dispatcher.tryPost(record(round))) {
                accepted.push_back(round);
            }
            break;
        case 2:
            dispatcher.postSync(record(round));
            accepted.push_back(round);
            break;
        default:
            if (!timer) {
                timer = dispatcher.postPeriodic(1ms, [&timerFires] { ++timerFires; });
            } else {
                dispatcher.stopTimer(timer);
                timer.reset();
                firesAtStop = timerFires;
            }
            break;
        }
    }
    if (timer) {
        dispatcher.stopTimer(timer);
        firesAtStop = timerFires;
    }
    dispatcher.postSync([] {});
    timerFiredAfterStop = timerFires != firesAtStop;
}

TEST(RunLoopDispatcherStress, EveryAcceptedPostRunsOnceInItsPostersOrder)
{
    Owner owner;
    std::vector<std::vector<int>> ran(kPosters);
    std::vector<std::vector<int>> accepted(kPosters);
    std::vector<std::atomic<long>> timerFires(kPosters);
    std::vector<char> timerFiredAfterStop(kPosters, false);
    std::vector<std::thread> posters;
    for (int poster = 0; poster < kPosters; ++poster) {
        posters.emplace_back([&, poster] {
            bool firedAfterStop = false;
            postEveryKind(owner.dispatcher(), ran[poster], accepted[poster], timerFires[poster],
                          firedAfterStop);
            timerFiredAfterStop[poster] = firedAfterStop;
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    for (int poster = 0; poster < kPosters; ++poster) {
        EXPECT_EQ(ran[poster], accepted[poster]) << "poster " << poster;
        EXPECT_FALSE(timerFiredAfterStop[poster]) << "poster " << poster;
    }
    owner.dispatcher().postSync([&] { owner.dispatcher().stop(); });
}

TEST(RunLoopDispatcherStress, OwnerStopsWhilePostersPost)
{
    Owner owner;
    Dispatcher& dispatcher = owner.dispatcher();
    std::atomic<bool> keepPosting{true};
    std::atomic<long> posts{0};
    std::vector<std::thread> posters;
    for (int poster = 0; poster < 4; ++poster) {
        posters.emplace_back([&, poster] {
            while (keepPosting) {
                if (poster % 2 == 0) {
                    dispatcher.post([] {});
                } else {
                    dispatcher.tryPost([] {});
                }
                ++posts;
            }
        });
    }
    EXPECT_TRUE(VorkTesting::eventually([&] { return posts >= 2000; }));
    dispatcher.post([&] { dispatcher.stop(); });
    EXPECT_TRUE(VorkTesting::eventually([&] { return dispatcher.stopped(); }));
    const long postsAtStop = posts;
    EXPECT_TRUE(VorkTesting::eventually([&] { return posts >= postsAtStop + 2000; }));
    keepPosting = false;
    for (auto& poster : posters) {
        poster.join();
    }
    EXPECT_FALSE(dispatcher.tryPost([] {}));
}

} // namespace
