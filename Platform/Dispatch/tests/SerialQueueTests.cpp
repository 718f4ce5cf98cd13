#include <dispatch/dispatch.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <numeric>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

class SerialQueueTest : public testing::Test
{
protected:
    ~SerialQueueTest() override { dispatch_release(fQueue); }

    dispatch_queue_t fQueue = dispatch_queue_create("com.vork.tests.serial", DISPATCH_QUEUE_SERIAL);
};

// What the blocks of the ordering test record; touched only by blocks of the one queue.
struct OrderLog
{
    std::atomic<int> inside{0};
    int mostInside = 0;
    std::vector<std::vector<int>> seen;

    void enter(int thread, int index)
    {
        int now = ++inside;
        mostInside = std::max(mostInside, now);
        seen[thread].push_back(index);
        --inside;
    }
};

struct OrderItem
{
    OrderLog* log;
    int thread;
    int index;
};

TEST_F(SerialQueueTest, RunsFourThreadsBlocksOneAtATimeInEachThreadsOrder)
{
    constexpr int kThreads = 4;
    constexpr int kBlocks = 10000;
    OrderLog log;
    log.seen.resize(kThreads);
    // Half the posters use the block form, half the function form.
    std::vector<std::vector<OrderItem>> items(kThreads);
    std::vector<std::thread> posters;
    for (int thread = 0; thread < kThreads; ++thread) {
        for (int index = 0; index < kBlocks; ++index) {
            items[thread].push_back({&log, thread, index});
        }
        posters.emplace_back([this, &log, &items, thread] {
            for (int index = 0; index < kBlocks; ++index) {
                if (thread % 2 == 0) {
                    dispatch_async(fQueue, [&log, thread, index] { log.enter(thread, index); });
                } else {
                    dispatch_async_f(fQueue, &items[thread][index], [](void* context) {
                        auto* item = static_cast<OrderItem*>(context);
                        item->log->enter(item->thread, item->index);
                    });
                }
            }
        });
    }
    for (std::thread& poster : posters) {
        poster.join();
    }
    dispatch_sync(fQueue, [] {});

    EXPECT_EQ(log.mostInside, 1);
    std::vector<int> inOrder(kBlocks);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    for (int thread = 0; thread < kThreads; ++thread) {
        EXPECT_EQ(log.seen[thread], inOrder) << "thread " << thread;
    }
}

TEST(SerialQueues, ManyQueuesGoingIdleAndBusyEachStaySerialAndOrdered)
{
    // More queues than idle workers are kept, so workers are handed from queue to queue, started and
    // ended while the queues go idle and busy again.
    constexpr int kQueues = 24;
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<dispatch_queue_t> queues;
    std::vector<OrderLog> logs(kQueues);
    for (int queue = 0; queue < kQueues; ++queue) {
        queues.push_back(dispatch_queue_create("com.vork.tests.many", DISPATCH_QUEUE_SERIAL));
        logs[queue].seen.resize(kThreads);
    }
    std::vector<std::thread> posters;
    for (int thread = 0; thread < kThreads; ++thread) {
        posters.emplace_back([&queues, &logs, thread] {
            for (int round = 0; round < kRounds; ++round) {
                for (int queue = 0; queue < kQueues; ++queue) {
                    OrderLog& log = logs[queue];
                    dispatch_async(queues[queue], [&log, thread, round] { log.enter(thread, round); });
                }
                if (round % 50 == thread) {
                    dispatch_sync(queues[round % kQueues], [] {});
                }
            }
        });
    }
    for (std::thread& poster : posters) {
        poster.join();
    }
    std::vector<int> inOrder(kRounds);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    for (int queue = 0; queue < kQueues; ++queue) {
        dispatch_sync(queues[queue], [] {});
        dispatch_release(queues[queue]);
        EXPECT_EQ(logs[queue].mostInside, 1) << "queue " << queue;
        for (int thread = 0; thread < kThreads; ++thread) {
            EXPECT_EQ(logs[queue].seen[thread], inOrder) << "queue " << queue << ", thread " << thread;
        }
    }
}

struct SyncForm
{
    const char* name;
    void (*run)(dispatch_queue_t queue, std::function<void()>& block);
};

void PrintTo(const SyncForm& value, std::ostream* out)
{
    *out << value.name;
}

const SyncForm kSyncForms[] = {
    {"block", [](dispatch_queue_t queue, std::function<void()>& block) { dispatch_sync(queue, block); }},
    {"function",
     [](dispatch_queue_t queue, std::function<void()>& block) {
         dispatch_sync_f(queue, &block,
                         [](void* context) { (*static_cast<std::function<void()>*>(context))(); });
     }},
};

class DispatchSyncTest : public SerialQueueTest, public testing::WithParamInterface<SyncForm>
{};

TEST_P(DispatchSyncTest, RunsAfterTheBlocksQueuedBeforeItAndWaitsForItsOwn)
{
    constexpr size_t kEarlier = 200;
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::vector<size_t> ran;
    // The first block holds the queue, so the earlier blocks are still pending when dispatch_sync is
    // called; another thread opens it because the caller is blocked from then on.
    dispatch_async(fQueue, [opened] { opened.wait(); });
    for (size_t i = 0; i < kEarlier; ++i) {
        dispatch_async(fQueue, [&ran, i] { ran.push_back(i); });
    }
    std::thread opener([&gate] { gate.set_value(); });
    size_t seenBySync = 0;
    std::string labelInSync;
    std::function<void()> block = [&] {
        seenBySync = ran.size();
        labelInSync = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
    };
    GetParam().run(fQueue, block);
    opener.join();

    EXPECT_EQ(labelInSync, dispatch_queue_get_label(fQueue));
    EXPECT_EQ(seenBySync, kEarlier);
    EXPECT_EQ(ran.size(), kEarlier);
}

INSTANTIATE_TEST_SUITE_P(Forms, DispatchSyncTest, testing::ValuesIn(kSyncForms),
                         testing::PrintToStringParamName());

TEST(SerialQueueRelease, LastReleaseWithBlocksPendingLetsThemAllRun)
{
    constexpr int kPending = 50;
    dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.released", DISPATCH_QUEUE_SERIAL);
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::promise<int> finished;
    int ran = 0;
    dispatch_async(queue, [opened] { opened.wait(); });
    for (int i = 0; i < kPending; ++i) {
        dispatch_async(queue, [&ran] { ++ran; });
    }
    dispatch_async(queue, [&finished, &ran] { finished.set_value(ran); });

    dispatch_release(queue);
    gate.set_value();

    EXPECT_EQ(finished.get_future().get(), kPending);
}

TEST(SerialQueueRelease, RetainKeepsTheQueueUsableAfterTheCreatorsRelease)
{
    dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.retained", DISPATCH_QUEUE_SERIAL);
    dispatch_retain(queue);
    dispatch_release(queue);
    bool ran = false;
    dispatch_sync(queue, [&ran] { ran = true; });
    dispatch_release(queue);
    EXPECT_TRUE(ran);
}

struct LabelCase
{
    const char* name;
    const char* given;
    const char* expected;
};

void PrintTo(const LabelCase& value, std::ostream* out)
{
    *out << value.name;
}

class QueueLabelTest : public testing::TestWithParam<LabelCase>
{};

TEST_P(QueueLabelTest, IsTheCreatorsLabelFromOutsideAndFromItsOwnBlocks)
{
    dispatch_queue_t queue = dispatch_queue_create(GetParam().given, DISPATCH_QUEUE_SERIAL);
    std::string inside;
    dispatch_sync(queue, [&inside] { inside = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL); });
    EXPECT_STREQ(dispatch_queue_get_label(queue), GetParam().expected);
    EXPECT_EQ(inside, GetParam().expected);
    dispatch_release(queue);
}

INSTANTIATE_TEST_SUITE_P(Labels, QueueLabelTest,
                         testing::Values(LabelCase{"Given", "com.vork.tests.label", "com.vork.tests.label"},
                                         LabelCase{"Null", nullptr, ""}),
                         testing::PrintToStringParamName());

TEST(QueueLabel, CurrentLabelOnAThreadOutsideAnyQueueIsEmpty)
{
    std::string label = "unset";
    std::thread([&label] { label = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL); }).join();
    EXPECT_EQ(label, "");
}

// dispatch_sync onto a queue the caller already holds, directly or through the callers of nested
// dispatch_sync calls, would wait forever: the process ends naming the call and the queue.
struct SelfSyncCase
{
    const char* name;
    void (*run)();
};

void PrintTo(const SelfSyncCase& value, std::ostream* out)
{
    *out << value.name;
}

const SelfSyncCase kSelfSyncCases[] = {
    {"OntoItsOwnQueue",
     [] {
         dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.self", DISPATCH_QUEUE_SERIAL);
         dispatch_sync(queue, [queue] { dispatch_sync(queue, [] {}); });
     }},
    {"OntoItsOwnQueueWithAFunction",
     [] {
         dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.self", DISPATCH_QUEUE_SERIAL);
         dispatch_async(queue, [queue] { dispatch_sync_f(queue, nullptr, [](void*) {}); });
         dispatch_sync(queue, [] {});
     }},
    {"OntoAQueueWaitingInAnOuterSync",
     [] {
         dispatch_queue_t outer = dispatch_queue_create("com.vork.tests.self", DISPATCH_QUEUE_SERIAL);
         dispatch_queue_t inner = dispatch_queue_create("com.vork.tests.inner", DISPATCH_QUEUE_SERIAL);
         dispatch_sync(outer,
                       [outer, inner] { dispatch_sync(inner, [outer] { dispatch_sync(outer, [] {}); }); });
     }},
};

class SelfSyncDeathTest : public testing::TestWithParam<SelfSyncCase>
{};

TEST_P(SelfSyncDeathTest, EndsTheProcessNamingTheCallAndTheQueue)
{
    EXPECT_DEATH(GetParam().run(), "dispatch_sync(_f)?: called on queue \"com.vork.tests.self\"");
}

INSTANTIATE_TEST_SUITE_P(Cases, SelfSyncDeathTest, testing::ValuesIn(kSelfSyncCases),
                         testing::PrintToStringParamName());

TEST(SerialQueueDeathTest, ConcurrentAttributeEndsTheProcessNamingTheCall)
{
    EXPECT_DEATH(dispatch_queue_create("com.vork.tests.concurrent", DISPATCH_QUEUE_CONCURRENT),
                 "dispatch_queue_create: queue \"com.vork.tests.concurrent\"");
}

TEST(SerialQueueDeathTest, ExceptionEscapingABlockEndsTheProcessNamingTheQueue)
{
    EXPECT_DEATH(
        {
            dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.thrower", DISPATCH_QUEUE_SERIAL);
            dispatch_async(queue, [] { throw std::runtime_error("out of the block"); });
            dispatch_sync(queue, [] {});
        },
        "on queue \"com.vork.tests.thrower\": out of the block");
}

} // namespace
