#include "CircularBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::vector<uint32_t> drain(CircularBuffer& ring)
{
    std::vector<uint32_t> values;
    uint32_t value = 0;
    while (ring.pop(&value)) {
        values.push_back(value);
    }
    return values;
}

std::vector<uint32_t> sequence(uint32_t from, uint32_t count)
{
    std::vector<uint32_t> values;
    for (uint32_t i = 0; i < count; ++i) {
        values.push_back(from + i);
    }
    return values;
}

void fill(CircularBuffer& ring, const std::vector<uint32_t>& values)
{
    for (uint32_t value : values) {
        ASSERT_TRUE(ring.push(&value)) << value;
    }
}

TEST(CircularBuffer, HoldsExactlyItsCapacity)
{
    for (short capacity : {1, 3, 8}) {
        CircularBuffer ring(sizeof(uint32_t), capacity);
        fill(ring, sequence(0, uint32_t(capacity)));
        const uint32_t extra = 99;
        EXPECT_FALSE(ring.push(&extra)) << capacity;
        EXPECT_EQ(drain(ring), sequence(0, uint32_t(capacity)));
    }
}

TEST(CircularBuffer, PopOfAnEmptyRingIsRefused)
{
    CircularBuffer ring(sizeof(uint32_t), 4);
    uint32_t value = 7;
    EXPECT_FALSE(ring.pop(&value));
    EXPECT_EQ(value, 7u);
}

TEST(CircularBuffer, OrderHoldsAcrossManyWraps)
{
    CircularBuffer ring(sizeof(uint32_t), 5);
    uint32_t next = 0;
    uint32_t expected = 0;
    for (int round = 0; round < 200; ++round) {
        const uint32_t batch = uint32_t(round % 5) + 1;
        for (uint32_t i = 0; i < batch; ++i, ++next) {
            ASSERT_TRUE(ring.push(&next));
        }
        for (uint32_t value : drain(ring)) {
            ASSERT_EQ(value, expected++);
        }
    }
    EXPECT_EQ(expected, next);
}

TEST(CircularBuffer, ResetDropsTheUnreadElements)
{
    CircularBuffer ring(sizeof(uint32_t), 4);
    fill(ring, sequence(0, 3));
    ring.reset();
    EXPECT_TRUE(drain(ring).empty());
    fill(ring, sequence(10, 4));
    EXPECT_EQ(drain(ring), sequence(10, 4));
}

TEST(CircularBuffer, ElementsAreCopiedWhole)
{
    struct Snapshot
    {
        uint64_t fFrame;
        uint64_t fHostTime;
    };
    CircularBuffer ring(sizeof(Snapshot), 3);
    const Snapshot in{0x1122334455667788, 0x99AABBCCDDEEFF00};
    ASSERT_TRUE(ring.push(&in));
    Snapshot out{};
    ASSERT_TRUE(ring.pop(&out));
    EXPECT_EQ(out.fFrame, in.fFrame);
    EXPECT_EQ(out.fHostTime, in.fHostTime);
}

TEST(CircularBuffer, LargestCapacityIsAccepted)
{
    CircularBuffer ring(sizeof(uint32_t), 32766);
    fill(ring, sequence(0, 32766));
    const uint32_t extra = 0;
    EXPECT_FALSE(ring.push(&extra));
    EXPECT_EQ(drain(ring), sequence(0, 32766));
}

TEST(CircularBuffer, NegativeSizesHoldNothing)
{
    CircularBuffer ring(-4, -3);
    uint32_t value = 1;
    EXPECT_FALSE(ring.push(&value));
    EXPECT_FALSE(ring.pop(&value));
}

TEST(CircularBufferCopyAndResize, EmptyCopiesToEmpty)
{
    CircularBuffer ring(sizeof(uint32_t), 4);
    auto resized = ring.CopyAndResize(8);
    ASSERT_TRUE(resized);
    EXPECT_TRUE(drain(*resized).empty());
    fill(*resized, sequence(0, 8));
}

TEST(CircularBufferCopyAndResize, KeepsTheUnreadElementsInOrder)
{
    struct Row
    {
        short fCapacity;
        uint32_t fPopped;
        uint32_t fPushed;
        int fNewCapacity;
        uint32_t fMoved;
    };
    for (const Row& row :
         {Row{8, 0, 8, 16, 8}, Row{8, 3, 10, 12, 7}, Row{4, 2, 6, 4, 4}, Row{3, 0, 3, 3, 3}}) {
        CircularBuffer ring(sizeof(uint32_t), row.fCapacity);
        uint32_t next = 0;
        for (uint32_t i = 0; i < row.fPushed; ++i, ++next) {
            if (i == uint32_t(row.fCapacity)) {
                uint32_t ignored;
                for (uint32_t p = 0; p < row.fPopped; ++p) {
                    ASSERT_TRUE(ring.pop(&ignored));
                }
            }
            ASSERT_TRUE(ring.push(&next));
        }
        auto resized = ring.CopyAndResize(row.fNewCapacity);
        EXPECT_EQ(drain(*resized), sequence(row.fPopped, row.fMoved))
            << row.fCapacity << "->" << row.fNewCapacity;
        EXPECT_TRUE(drain(ring).empty());
    }
}

// Elements that do not fit stay unread in the old ring.
TEST(CircularBufferCopyAndResize, FullEightIntoFourLeavesFourUnread)
{
    CircularBuffer ring(sizeof(uint32_t), 8);
    fill(ring, sequence(0, 8));
    auto resized = ring.CopyAndResize(4);
    EXPECT_EQ(drain(*resized), sequence(0, 4));
    EXPECT_EQ(drain(ring), sequence(4, 4));
}

} // namespace
