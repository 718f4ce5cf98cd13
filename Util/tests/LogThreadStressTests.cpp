#include "LogThread.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kProducers = 4;
constexpr int kMessagesEach = 100000;

// Four producers post into one LogThread whose sink is slow, so the queue fills and messages drop.
// Whatever arrives must be whole, in each producer's order, and never more than was posted.
TEST(LogThreadStress, ProducersAgainstASlowSink)
{
    std::mutex mutex;
    std::vector<std::string> lines;
    auto log = std::make_unique<LogThread>([&](const char* text) {
        for (int pause = 0; pause < 3; ++pause) {
            std::this_thread::yield();
        }
        std::lock_guard lock(mutex);
        lines.emplace_back(text);
    });

    std::vector<std::thread> producers;
    for (int producer = 0; producer < kProducers; ++producer) {
        producers.emplace_back([&log, producer] {
            for (int sequence = 0; sequence < kMessagesEach; ++sequence) {
                log->PostMessage<SourceLocation<"stress/Producer.cpp", 7>>("producer %d message %d", producer,
                                                                           sequence);
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    // The worker may not have run yet on a busy machine; what waits in the queue arrives while the log
    // lives.
    for (bool delivered = false; !delivered; std::this_thread::yield()) {
        std::lock_guard lock(mutex);
        delivered = !lines.empty();
    }
    log.reset();

    ASSERT_LE(lines.size(), std::size_t(kProducers * kMessagesEach));
    int last[kProducers] = {-1, -1, -1, -1};
    std::size_t broken = 0;
    std::size_t outOfOrder = 0;
    for (const std::string& line : lines) {
        int producer = -1;
        int sequence = -1;
        int consumed = 0;
        const bool parsed = std::sscanf(line.c_str(), "producer %d message %d (Producer.cpp: 7)\n%n",
                                        &producer, &sequence, &consumed) == 2 &&
                            std::size_t(consumed) == line.size() && line.back() == '\n' && producer >= 0 &&
                            producer < kProducers;
        if (!parsed) {
            ++broken;
            continue;
        }
        outOfOrder += sequence <= last[producer];
        last[producer] = sequence;
    }
    EXPECT_EQ(broken, 0u);
    EXPECT_EQ(outOfOrder, 0u);
}

} // namespace
