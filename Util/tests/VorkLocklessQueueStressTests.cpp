#include "VorkDeadline.h"
#include "VorkReservableElements.h"

#include <LocklessQueue.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using VorkTesting::reservableElements;

namespace {

constexpr int kProducers = 8;
constexpr int kMessagesPerProducer = 100000;
constexpr std::size_t kCapacity = 100;

struct Tagged
{
    int fProducer;
    int fSequence;
};

using TaggedQueue = vork::LocklessQueue<Tagged, kCapacity>;

// Posts the producer's messages in order; every tenth transaction is dropped uncommitted with a
// value that must never come out. Gives up once the consumer no longer takes any.
void produce(TaggedQueue& queue, int producer, std::atomic<int>& finished,
             const VorkTesting::StallDeadline& deadline)
{
    int transactions = 0;
    for (int sequence = 0; sequence < kMessagesPerProducer;) {
        TaggedQueue::WriteTransaction transaction(queue);
        if (!transaction.reserved()) {
            if (deadline.passed()) {
                return;
            }
            std::this_thread::yield();
            continue;
        }
        if (++transactions % 10 == 0) {
            transaction.write(Tagged{producer, -1});
            continue;
        }
        ASSERT_TRUE(transaction.write(Tagged{producer, sequence}));
        while (!transaction.commit()) {
            if (deadline.passed()) {
                return;
            }
            std::this_thread::yield();
        }
        ++sequence;
    }
    ++finished;
}

void runProducersAgainstOneConsumer(bool slowConsumer)
{
    auto queue = std::make_unique<TaggedQueue>();
    std::atomic<int> finished{0};
    std::atomic<long> received{0};
    const VorkTesting::StallDeadline deadline(
        [&received] { return uint64_t(received.load(std::memory_order_relaxed)); });
    std::vector<std::thread> producers;
    for (int producer = 0; producer < kProducers; ++producer) {
        producers.emplace_back(produce, std::ref(*queue), producer, std::ref(finished), std::cref(deadline));
    }

    std::vector<int> nextSequence(kProducers, 0);
    long fullRing = 0;
    while (received < long(kProducers) * kMessagesPerProducer && !deadline.passed()) {
        // A slow consumer lets the ring fill up while producers still run, so that their
        // reservations and commits fail and are retried, then takes a ring's worth: waiting for a
        // full ring before every message makes the run crawl on a machine of few cores.
        const bool waitForFullRing = slowConsumer && received % kCapacity == 0;
        while (waitForFullRing && !queue->full() && finished < kProducers && !deadline.passed()) {
            std::this_thread::yield();
        }
        if (queue->full()) {
            ++fullRing;
        }
        TaggedQueue::ReadTransaction transaction(*queue);
        auto message = transaction.readAndCommit();
        if (!message) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_GE(message->fProducer, 0);
        ASSERT_LT(message->fProducer, kProducers);
        ASSERT_EQ(message->fSequence, nextSequence[message->fProducer]) << "producer " << message->fProducer;
        ++nextSequence[message->fProducer];
        ++received;
    }
    for (auto& producer : producers) {
        producer.join();
    }

    for (int producer = 0; producer < kProducers; ++producer) {
        EXPECT_EQ(nextSequence[producer], kMessagesPerProducer);
    }
    EXPECT_TRUE(queue->empty());
    TaggedQueue::ReadTransaction extra(*queue);
    EXPECT_FALSE(extra.valid());
    EXPECT_EQ(reservableElements(*queue), kCapacity + 1);
    if (slowConsumer) {
        EXPECT_GT(fullRing, 0);
    }
}

TEST(LocklessQueueStress, EightProducersOneConsumer)
{
    runProducersAgainstOneConsumer(false);
}

TEST(LocklessQueueStress, EightProducersIntoMostlyFullRing)
{
    runProducersAgainstOneConsumer(true);
}

} // namespace
