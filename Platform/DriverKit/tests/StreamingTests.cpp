// A toy driver streaming isochronous IN and OUT on the Korvan model, with interrupt reads queued,
// on the real clock; the queue threads allocate nothing once the pools have grown.

#include "DriverKitTestSupport.h"

#include <DarwinTesting/Eventually.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace {

thread_local bool tCounted = false;
std::atomic<uint64_t> gCountedAllocations{0};

void* allocate(size_t size)
{
    if (tCounted) {
        gCountedAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

} // namespace

// Counts what the marked threads allocate.
void* operator new(size_t size)
{
    return allocate(size);
}

void* operator new[](size_t size)
{
    return allocate(size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, size_t) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}

namespace {

using DriverKitTests::KorvanDeviceTest;

template <typename Condition>
void waitUntil(Condition condition)
{
    EXPECT_TRUE(DarwinTesting::eventually(condition)) << "the streams never got that far";
}

TEST_F(KorvanDeviceTest, ToyStreamsBothWaysAndReadsStatus)
{
    ASSERT_TRUE(toy->startStreaming());
    model->changeRateFromDevice(48000);
    waitUntil(
        [&] { return toy->inputCompletions >= 40 && toy->outputCompletions >= 20 && toy->statusReads >= 1; });
    toy->stopStreaming();
    EXPECT_EQ(toy->submissionFailures, 0u);
    EXPECT_FALSE(model->recordFrames().empty());
    EXPECT_FALSE(model->playbackBytes().empty());
    EXPECT_EQ(model->statusLog().size(), 1u);
    const auto settings = model->interfaceLog();
    EXPECT_EQ(settings.back().second, 0);
}

TEST_F(KorvanDeviceTest, QueueThreadsAllocateNothingWhileStreaming)
{
    ASSERT_TRUE(toy->startStreaming());
    // Let the pools of queue nodes, pending transfers and bus records grow to what streaming needs.
    for (int i = 0; i < 8; ++i) {
        model->sendStatus({0, 1, 0, 1, 0, 0x10});
    }
    waitUntil([&] { return toy->inputCompletions >= 400 && toy->statusReads >= 8; });
    IODispatchQueue* defaultQueue = nullptr;
    toy->CopyDispatchQueue("Default", &defaultQueue);
    OSSharedPtr<IODispatchQueue> heldDefault(defaultQueue, OSNoRetain);
    toy->busQueue()->DispatchSync([] { tCounted = true; });
    defaultQueue->DispatchSync([] { tCounted = true; });
    gCountedAllocations = 0;
    const uint64_t inputs = toy->inputCompletions;
    const uint64_t reads = toy->statusReads;
    for (int i = 0; i < 8; ++i) {
        model->sendStatus({0, 1, 0, 1, 0, 0x10});
    }
    waitUntil([&] { return toy->inputCompletions >= inputs + 100 && toy->statusReads >= reads + 8; });
    EXPECT_EQ(gCountedAllocations.load(), 0u);
    toy->busQueue()->DispatchSync([] { tCounted = false; });
    defaultQueue->DispatchSync([] { tCounted = false; });
    toy->stopStreaming();
}

} // namespace
