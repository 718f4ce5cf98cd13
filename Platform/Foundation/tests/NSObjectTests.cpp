#include <Foundation/NSObject.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct Tracked : NS::Object
{
    explicit Tracked(bool& destroyed) : fDestroyed(destroyed) {}
    ~Tracked() override { fDestroyed = true; }
    bool& fDestroyed;
};

TEST(NSObject, LastReleaseDestroys)
{
    bool destroyed = false;
    auto* object = new Tracked(destroyed);
    EXPECT_EQ(object->retainCount(), 1u);
    EXPECT_EQ(object->retain(), object);
    EXPECT_EQ(object->retainCount(), 2u);
    object->release();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(object->retainCount(), 1u);
    object->release();
    EXPECT_TRUE(destroyed);
}

TEST(NSObject, CountsFromManyThreads)
{
    bool destroyed = false;
    auto* object = new Tracked(destroyed);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([object] {
            for (int n = 0; n < 10000; ++n) {
                object->retain();
                object->release();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(object->retainCount(), 1u);
    object->release();
    EXPECT_TRUE(destroyed);
}

} // namespace
