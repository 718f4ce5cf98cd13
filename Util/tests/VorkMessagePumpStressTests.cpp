#include <MessagePump.h>
#include <WrappedLambda.h>

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

namespace {

using Message = vork::wrapped_lambda<void(), 128, 8>;

constexpr int kPosters = 8;
constexpr int kMessagesEach = 3000;

TEST(MessagePumpStress, EveryMessageRunsOnceInItsPostersOrder)
{
    vork::MessagePump<Message, 100> pump([](const Message& message) {
        // Slow enough that the posters keep the queue full.
        for (int i = 0; i < 20; ++i) {
            std::this_thread::yield();
        }
        message();
    });
    pump.start();
    // Written by the worker only; a poster reads its entry after its last synchronous post.
    std::vector<std::vector<int>> ran(kPosters);
    std::vector<std::thread> posters;
    for (int poster = 0; poster < kPosters; ++poster) {
        posters.emplace_back([&, poster] {
            std::vector<int>& mine = ran[poster];
            for (int i = 0; i < kMessagesEach; ++i) {
                auto record = [&mine, i] { mine.push_back(i); };
                if (i % 10 == 0) {
                    pump.postSync(record);
                } else {
                    pump.post(record);
                }
            }
            pump.postSync([] {});
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    std::vector<int> expected(kMessagesEach);
    std::iota(expected.begin(), expected.end(), 0);
    for (int poster = 0; poster < kPosters; ++poster) {
        EXPECT_EQ(ran[poster], expected) << "poster " << poster;
    }
}

} // namespace
