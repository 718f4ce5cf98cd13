#include "CircularBuffer.h"
#include "VorkDeadline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace {

struct Element
{
    uint64_t fSequence;
    uint64_t fCheck;
};

// The driver extension's snapshot ring: 16-byte elements, capacity 3.
TEST(CircularBufferStress, OnePusherOnePopperLoseNothing)
{
    constexpr uint64_t kCount = 1000000;
    CircularBuffer ring(sizeof(Element), 3);
    std::atomic<uint64_t> expected{0};
    const VorkTesting::StallDeadline deadline(
        [&expected] { return expected.load(std::memory_order_relaxed); });

    std::thread pusher([&] {
        for (uint64_t i = 0; i < kCount && !deadline.passed();) {
            const Element element{i, ~i};
            if (ring.push(&element)) {
                ++i;
            } else {
                std::this_thread::yield();
            }
        }
    });

    uint64_t mismatches = 0;
    while (expected < kCount && !deadline.passed()) {
        Element element{};
        if (!ring.pop(&element)) {
            std::this_thread::yield();
            continue;
        }
        mismatches += element.fSequence != expected || element.fCheck != ~expected;
        expected.store(element.fSequence + 1, std::memory_order_relaxed);
    }
    pusher.join();

    EXPECT_EQ(expected.load(), kCount);
    EXPECT_EQ(mismatches, 0u);
    Element extra{};
    EXPECT_FALSE(ring.pop(&extra));
}

} // namespace
