#include "VorkReservableElements.h"

#include <LocklessQueue.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using VorkTesting::reservableElements;

namespace {

// Counts what the queue does to its values, and records the order of copies and destructions.
struct Probe
{
    static inline int sCopies = 0;
    static inline int sDestructions = 0;
    static inline std::vector<std::string> sEvents;

    explicit Probe(int value, bool throwOnCopy = false) : fValue(value), fThrowOnCopy(throwOnCopy) {}

    Probe(const Probe& other) : fValue(other.fValue), fThrowOnCopy(other.fThrowOnCopy)
    {
        if (fThrowOnCopy) {
            throw std::runtime_error("copy refused");
        }
        ++sCopies;
        sEvents.push_back("copy " + std::to_string(fValue));
    }

    Probe(Probe&& other) noexcept : fValue(other.fValue) {}

    ~Probe()
    {
        ++sDestructions;
        sEvents.push_back("destroy " + std::to_string(fValue));
    }

    static void resetCounts()
    {
        sCopies = 0;
        sDestructions = 0;
        sEvents.clear();
    }

    int fValue;
    bool fThrowOnCopy = false;
};

constexpr std::size_t kCapacity = 100;
using ProbeQueue = vork::LocklessQueue<Probe, kCapacity>;

bool publish(ProbeQueue& queue, int value)
{
    ProbeQueue::WriteTransaction transaction(queue);
    return transaction.writeAndCommit(Probe(value));
}

std::optional<int> take(ProbeQueue& queue)
{
    ProbeQueue::ReadTransaction transaction(queue);
    auto probe = transaction.readAndCommit();
    return probe ? std::optional<int>(probe->fValue) : std::nullopt;
}

void fillsToCapacity()
{
    auto queue = std::make_unique<ProbeQueue>();
    for (int i = 0; i < static_cast<int>(kCapacity); ++i) {
        ASSERT_TRUE(publish(*queue, i)) << i;
    }
    EXPECT_FALSE(ProbeQueue::WriteTransaction(*queue).reserved());
    EXPECT_EQ(take(*queue), 0);
    EXPECT_TRUE(publish(*queue, 100));
    EXPECT_EQ(queue->size(), kCapacity);
}

void takeFromEmpty()
{
    auto queue = std::make_unique<ProbeQueue>();
    Probe::resetCounts();
    ProbeQueue::ReadTransaction transaction(*queue);
    EXPECT_FALSE(transaction.valid());
    EXPECT_FALSE(transaction.read());
    EXPECT_FALSE(transaction.readAndCommit());
    EXPECT_FALSE(transaction.commit());
    EXPECT_EQ(Probe::sCopies, 0);
    EXPECT_EQ(Probe::sDestructions, 0);
}

void droppedWriteFreesItsElement()
{
    auto queue = std::make_unique<ProbeQueue>();
    for (int i = 0; i < 99; ++i) {
        ASSERT_TRUE(publish(*queue, i));
    }
    {
        ProbeQueue::WriteTransaction dropped(*queue);
        ASSERT_TRUE(dropped.write(Probe(-1)));
        Probe::resetCounts();
    }
    EXPECT_EQ(Probe::sEvents, std::vector<std::string>{"destroy -1"});
    // 99 elements wait; the dropped one and the spare one must both be free.
    ProbeQueue::WriteTransaction first(*queue);
    ProbeQueue::WriteTransaction second(*queue);
    EXPECT_TRUE(first.reserved());
    EXPECT_TRUE(second.reserved());
    EXPECT_TRUE(first.writeAndCommit(Probe(99)));
    EXPECT_EQ(queue->size(), kCapacity);
}

void keepsPublicationOrder()
{
    auto queue = std::make_unique<ProbeQueue>();
    for (int i = 1; i <= 100; ++i) {
        ASSERT_TRUE(publish(*queue, i));
    }
    for (int i = 1; i <= 100; ++i) {
        EXPECT_EQ(take(*queue), i);
    }
    EXPECT_TRUE(queue->empty());
}

void writeDestroysOldValueFirst()
{
    auto queue = std::make_unique<ProbeQueue>();
    ProbeQueue::WriteTransaction transaction(*queue);
    Probe first(1);
    Probe second(2);
    ASSERT_TRUE(transaction.write(first));
    Probe::resetCounts();
    ASSERT_TRUE(transaction.write(second));
    EXPECT_EQ(Probe::sEvents, (std::vector<std::string>{"destroy 1", "copy 2"}));
}

void throwingCopyLeavesQueueUnchanged()
{
    auto queue = std::make_unique<ProbeQueue>();
    {
        ProbeQueue::WriteTransaction transaction(*queue);
        EXPECT_THROW(transaction.write(Probe(5, true)), std::runtime_error);
        EXPECT_FALSE(transaction.commit());
    }
    EXPECT_TRUE(queue->empty());
    EXPECT_EQ(reservableElements(*queue), kCapacity + 1);
}

void commitIntoFullRingFails()
{
    auto queue = std::make_unique<ProbeQueue>();
    {
        ProbeQueue::WriteTransaction late(*queue);
        ASSERT_TRUE(late.write(Probe(-1)));
        for (int i = 0; i < static_cast<int>(kCapacity); ++i) {
            ASSERT_TRUE(publish(*queue, i));
        }
        EXPECT_FALSE(late.commit());
        for (int i = 0; i < static_cast<int>(kCapacity); ++i) {
            ASSERT_EQ(take(*queue), i);
        }
        EXPECT_EQ(reservableElements(*queue), kCapacity);
    }
    EXPECT_EQ(reservableElements(*queue), kCapacity + 1);
    EXPECT_TRUE(queue->empty());
}

void committedReadChangesNothing()
{
    auto queue = std::make_unique<ProbeQueue>();
    ASSERT_TRUE(publish(*queue, 1));
    ASSERT_TRUE(publish(*queue, 2));
    ProbeQueue::ReadTransaction transaction(*queue);
    ASSERT_TRUE(transaction.commit());
    Probe::resetCounts();
    EXPECT_FALSE(transaction.commit());
    EXPECT_FALSE(transaction.readAndCommit());
    EXPECT_FALSE(transaction.read());
    EXPECT_TRUE(Probe::sEvents.empty());
    EXPECT_EQ(queue->size(), 1u);
    EXPECT_EQ(take(*queue), 2);
}

struct LogSlot
{
    char fText[256];
    bool fValid;
};

void nonVariantSlotWrittenInPlace()
{
    auto queue = std::make_unique<vork::LocklessQueue<LogSlot, kCapacity>>();
    std::string text(255, 'x');
    text.replace(0, 5, "start");
    {
        vork::LocklessQueue<LogSlot, kCapacity>::WriteTransaction transaction(*queue);
        ASSERT_TRUE(transaction.emplace());
        LogSlot* slot = transaction.get();
        ASSERT_NE(slot, nullptr);
        std::snprintf(slot->fText, sizeof slot->fText, "%s", text.c_str());
        slot->fValid = true;
        ASSERT_TRUE(transaction.commit());
        EXPECT_EQ(transaction.get(), nullptr);
    }
    vork::LocklessQueue<LogSlot, kCapacity>::ReadTransaction transaction(*queue);
    auto slot = transaction.readAndCommit();
    ASSERT_TRUE(slot);
    EXPECT_TRUE(slot->fValid);
    EXPECT_EQ(std::string(slot->fText), text);
}

struct QueueCase
{
    const char* fName;
    void (*fRun)();
};

class LocklessQueue : public testing::TestWithParam<QueueCase>
{};

TEST_P(LocklessQueue, Case)
{
    GetParam().fRun();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocklessQueue,
    testing::Values(QueueCase{"FillsToCapacity", fillsToCapacity}, QueueCase{"TakeFromEmpty", takeFromEmpty},
                    QueueCase{"DroppedWriteFreesItsElement", droppedWriteFreesItsElement},
                    QueueCase{"KeepsPublicationOrder", keepsPublicationOrder},
                    QueueCase{"WriteDestroysOldValueFirst", writeDestroysOldValueFirst},
                    QueueCase{"ThrowingCopyLeavesQueueUnchanged", throwingCopyLeavesQueueUnchanged},
                    QueueCase{"CommitIntoFullRingFails", commitIntoFullRingFails},
                    QueueCase{"CommittedReadChangesNothing", committedReadChangesNothing},
                    QueueCase{"NonVariantSlotWrittenInPlace", nonVariantSlotWrittenInPlace}),
    [](const testing::TestParamInfo<QueueCase>& info) { return info.param.fName; });

} // namespace
