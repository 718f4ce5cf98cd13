#include "UI/CommandIDPool.h"
#include "Basics/Failure.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using Pellix::VorkError;

std::vector<unsigned int> take(CommandIDPool& pool, int n)
{
    std::vector<unsigned int> ids;
    for (int i = 0; i < n; ++i) {
        ids.push_back(pool.GetNextID());
    }
    return ids;
}

// What the pool writes to standard output while `action` runs.
template <typename Action>
std::string printedBy(Action action)
{
    testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Whether the pool is empty: then it reports so and throws the memory-full error.
bool isEmpty(CommandIDPool& pool)
{
    bool empty = false;
    const std::string printed = printedBy([&] {
        try {
            pool.ReleaseID(pool.GetNextID());
        } catch (const VorkError& error) {
            empty = error.IsMacOSError(-108);
        }
    });
    return empty && printed == "CommandIDPool - cmd pool empty\n";
}

TEST(CommandIDPoolTest, HandsOutTheHighestFirstThenTheLastReleased)
{
    CommandIDPool pool(100, 3);
    EXPECT_EQ(take(pool, 2), std::vector<unsigned int>({102, 101}));
    pool.ReleaseID(102);
    pool.ReleaseID(101);
    EXPECT_EQ(take(pool, 3), std::vector<unsigned int>({101, 102, 100}));
}

TEST(CommandIDPoolTest, RefusesIdsOutsideItsRange)
{
    CommandIDPool pool(6000, 4096);
    EXPECT_EQ(pool.GetNextID(), 10095u);
    EXPECT_EQ(printedBy([&] { pool.ReleaseID(10096); }), "CommandIDPool release invalid cmd 10096\n");
    EXPECT_EQ(printedBy([&] { pool.ReleaseID(5999); }), "CommandIDPool release invalid cmd 5999\n");
    EXPECT_EQ(pool.GetNextID(), 10094u);
    EXPECT_EQ(take(pool, 4094).back(), 6000u);
    EXPECT_EQ(printedBy([&] { pool.ReleaseID(6000); }), "");
    EXPECT_EQ(pool.GetNextID(), 6000u);
}

TEST(CommandIDPoolTest, EmptyRangesStartEmpty)
{
    for (auto [first, count] : {std::pair<unsigned int, long>{100, 0}, {0xFFFFFFFF, 2}, {100, -1}}) {
        CommandIDPool pool(first, count);
        EXPECT_TRUE(isEmpty(pool)) << first << " " << count;
        EXPECT_EQ(printedBy([&] { pool.ReleaseID(first); }),
                  "CommandIDPool release invalid cmd " + std::to_string(static_cast<int>(first)) + "\n");
    }
}

TEST(CommandIDPoolTest, CountsBeyond32BitsKeepTheirLowBits)
{
    CommandIDPool pool(100, 0x100000003);
    EXPECT_EQ(take(pool, 3), std::vector<unsigned int>({102, 101, 100}));
}

TEST(CommandIDPoolTest, AnExhaustedPoolThrowsMemoryFullAndRecovers)
{
    CommandIDPool pool(7, 1);
    EXPECT_EQ(pool.GetNextID(), 7u);
    Pellix::gLastError = 0;
    std::string printed = printedBy([&] {
        try {
            pool.GetNextID();
            ADD_FAILURE() << "an empty pool handed out an id";
        } catch (const VorkError& error) {
            EXPECT_TRUE(error.IsMacOSError(-108));
        }
    });
    EXPECT_EQ(printed, "CommandIDPool - cmd pool empty\n");
    EXPECT_EQ(Pellix::gLastError, -108);
    pool.ReleaseID(7);
    EXPECT_EQ(pool.GetNextID(), 7u);
}

} // namespace
