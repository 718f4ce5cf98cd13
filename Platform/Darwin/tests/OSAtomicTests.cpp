#include <libkern/OSAtomic.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Each operation runs on 8 bytes holding `before` and must answer `result` and leave `after`.
struct AtomicCase
{
    const char* fName;
    uint64_t fBefore;
    std::function<int64_t(void* memory)> fOperation;
    int64_t fResult;
    uint64_t fAfter;
};

auto* int32Of(void* memory)
{
    return static_cast<volatile int32_t*>(memory);
}

auto* int64Of(void* memory)
{
    return static_cast<volatile int64_t*>(memory);
}

class Atomics : public testing::TestWithParam<AtomicCase>
{};

TEST_P(Atomics, AnswerAndLeaveTheExpectedValues)
{
    const AtomicCase& operation = GetParam();
    alignas(8) unsigned char memory[8];
    std::memcpy(memory, &operation.fBefore, sizeof memory);
    EXPECT_EQ(operation.fOperation(memory), operation.fResult);
    uint64_t after;
    std::memcpy(&after, memory, sizeof after);
    EXPECT_EQ(after, operation.fAfter);
}

int dummy;

INSTANTIATE_TEST_SUITE_P(
    Darwin, Atomics,
    testing::Values(
        AtomicCase{"Add32", 5, [](void* m) { return OSAtomicAdd32(3, int32Of(m)); }, 8, 8},
        AtomicCase{"Add32Negative", 5, [](void* m) { return OSAtomicAdd32Barrier(-7, int32Of(m)); }, -2,
                   0xFFFFFFFE},
        AtomicCase{"Add64", 1ull << 40, [](void* m) { return OSAtomicAdd64(1, int64Of(m)); }, (1ll << 40) + 1,
                   (1ull << 40) + 1},
        AtomicCase{"Add64Barrier", 0, [](void* m) { return OSAtomicAdd64Barrier(-1, int64Of(m)); }, -1,
                   ~0ull},
        AtomicCase{"Increment32", 41, [](void* m) { return OSAtomicIncrement32(int32Of(m)); }, 42, 42},
        AtomicCase{"Increment32Wraps", 0x7FFFFFFF,
                   [](void* m) { return OSAtomicIncrement32Barrier(int32Of(m)); }, INT32_MIN, 0x80000000},
        AtomicCase{"Decrement32", 1, [](void* m) { return OSAtomicDecrement32(int32Of(m)); }, 0, 0},
        AtomicCase{"Decrement32Barrier", 0, [](void* m) { return OSAtomicDecrement32Barrier(int32Of(m)); },
                   -1, 0xFFFFFFFF},
        AtomicCase{"CompareAndSwap32Equal", 7,
                   [](void* m) { return int(OSAtomicCompareAndSwap32(7, 9, int32Of(m))); }, 1, 9},
        AtomicCase{"CompareAndSwap32Differs", 7,
                   [](void* m) { return int(OSAtomicCompareAndSwap32Barrier(8, 9, int32Of(m))); }, 0, 7},
        AtomicCase{"CompareAndSwap64Equal", 1ull << 33,
                   [](void* m) { return int(OSAtomicCompareAndSwap64(1ll << 33, 3, int64Of(m))); }, 1, 3},
        AtomicCase{"CompareAndSwap64Differs", 1ull << 33,
                   [](void* m) { return int(OSAtomicCompareAndSwap64Barrier(1, 3, int64Of(m))); }, 0,
                   1ull << 33},
        AtomicCase{
            "CompareAndSwapPtr", 0,
            [](void* m) {
                return int(
                    OSAtomicCompareAndSwapPtr(nullptr, &dummy, static_cast<void* volatile*>(m)) &&
                    !OSAtomicCompareAndSwapPtrBarrier(nullptr, nullptr, static_cast<void* volatile*>(m)) &&
                    OSAtomicCompareAndSwapPtrBarrier(&dummy, nullptr, static_cast<void* volatile*>(m)));
            },
            1, 0},
        AtomicCase{"TestAndSetBit0IsTheTopBitOfByte0", 0,
                   [](void* m) { return int(OSAtomicTestAndSet(0, m)); }, 0, 0x80},
        AtomicCase{"TestAndSetAlreadySet", 0x80, [](void* m) { return int(OSAtomicTestAndSetBarrier(0, m)); },
                   1, 0x80},
        AtomicCase{"TestAndSetBit7IsTheLowBitOfByte0", 0,
                   [](void* m) { return int(OSAtomicTestAndSet(7, m)); }, 0, 0x01},
        AtomicCase{"TestAndSetBit9IsInByte1", 0, [](void* m) { return int(OSAtomicTestAndSet(9, m)); }, 0,
                   0x4000},
        AtomicCase{"TestAndClear", 0xFF, [](void* m) { return int(OSAtomicTestAndClear(0, m)); }, 1, 0x7F},
        AtomicCase{"TestAndClearAlreadyClear", 0x7F,
                   [](void* m) { return int(OSAtomicTestAndClearBarrier(0, m)); }, 0, 0x7F}),
    [](const testing::TestParamInfo<AtomicCase>& info) { return info.param.fName; });

struct Element
{
    int fValue;
    Element* fLink;
};

TEST(OSQueue, IsLastInFirstOutWithTheLinkAtTheOffset)
{
    OSQueueHead head = OS_ATOMIC_QUEUE_INIT;
    EXPECT_EQ(sizeof head, 16u);
    EXPECT_EQ(alignof(OSQueueHead), 16u);
    Element elements[3] = {{1, nullptr}, {2, nullptr}, {3, nullptr}};
    for (Element& element : elements) {
        OSAtomicEnqueue(&head, &element, offsetof(Element, fLink));
    }
    EXPECT_EQ(elements[2].fLink, &elements[1]);
    for (int expected : {3, 2, 1}) {
        auto* element = static_cast<Element*>(OSAtomicDequeue(&head, offsetof(Element, fLink)));
        ASSERT_NE(element, nullptr);
        EXPECT_EQ(element->fValue, expected);
    }
    EXPECT_EQ(OSAtomicDequeue(&head, offsetof(Element, fLink)), nullptr);
}

// Eight threads dequeue and enqueue the same elements over and over; at the end every element is
// in the queue exactly once.
TEST(OSQueue, StressEveryElementOnceAtTheEnd)
{
    constexpr int kThreads = 8;
    constexpr int kElements = 64;
    constexpr int kRounds = 20000;
    OSQueueHead head = OS_ATOMIC_QUEUE_INIT;
    std::vector<Element> elements(kElements);
    for (int i = 0; i < kElements; ++i) {
        elements[size_t(i)].fValue = i;
        OSAtomicEnqueue(&head, &elements[size_t(i)], offsetof(Element, fLink));
    }
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&head] {
                Element* held[2];
                for (int round = 0; round < kRounds; ++round) {
                    int count = 0;
                    while (count < 2) {
                        auto* element =
                            static_cast<Element*>(OSAtomicDequeue(&head, offsetof(Element, fLink)));
                        if (!element) {
                            break;
                        }
                        held[count++] = element;
                    }
                    while (count > 0) {
                        OSAtomicEnqueue(&head, held[--count], offsetof(Element, fLink));
                    }
                }
            });
        }
    }
    std::vector<int> seen(kElements, 0);
    while (auto* element = static_cast<Element*>(OSAtomicDequeue(&head, offsetof(Element, fLink)))) {
        ++seen[size_t(element->fValue)];
    }
    EXPECT_EQ(seen, std::vector<int>(kElements, 1));
}

} // namespace
