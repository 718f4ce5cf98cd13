#include "MemAlloc/BuddySystemSubAllocator.h"
#include "MemAlloc/SnarlAllocator.h"
#include "MemAlloc/SnarlDebugging.h"

#include <DarwinTesting/VirtualMemory.h>
#include <mach/mach.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

uint32_t magicOf(void* p)
{
    uint32_t magic;
    std::memcpy(&magic, static_cast<char*>(p) - 8, sizeof magic);
    return magic;
}

class SubAllocatorTest : public testing::Test
{
protected:
    SnarlAllocator allocator;
    BuddySystemSubAllocator& own = *allocator.GetSubAllocator();
};

TEST_F(SubAllocatorTest, SmallRequestsComeFromTheHeapAndLargerOnesFromThePool)
{
    void* buddy = own.Allocate(41328);
    ASSERT_NE(buddy, nullptr);
    EXPECT_EQ(magicOf(buddy), 0xFACEF00Du);
    EXPECT_EQ(own.Heap().TotalBytes(), 41328u);

    void* large = own.Allocate(41329);
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(magicOf(large), 0xFEEDFACEu);
    auto* block = reinterpret_cast<SnarlGlobalBlock*>(static_cast<char*>(large) - 32);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 4096, 0u);
    EXPECT_EQ(BuddySystemSubAllocator::GetBlockSize(SnarlAllocation::FromUserPointer(large)),
              block->size - 16);
    EXPECT_EQ(BuddySystemSubAllocator::GetBlockSize(SnarlAllocation::FromUserPointer(buddy)), 41328u);
    EXPECT_EQ(own.LargeAllocations(), 1);

    const int64_t pooled = allocator.PooledCount();
    own.Deallocate(large);
    // A large allocation's block is destroyed, not pooled.
    EXPECT_EQ(allocator.PooledCount(), pooled);
    EXPECT_EQ(own.LargeAllocations(), 0);
    own.Deallocate(buddy);
    EXPECT_EQ(own.Heap().TotalBytes(), 0u);
    EXPECT_EQ(allocator.PooledCount(), pooled + 1);
}

TEST_F(SubAllocatorTest, ReallocateKeepsTheBlockWhileItFitsAndOtherwiseCopies)
{
    auto* p = static_cast<char*>(own.Allocate(20));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "payload of twenty...", 20);
    EXPECT_EQ(own.Reallocate(p, 32), p);

    auto* grown = static_cast<char*>(own.Reallocate(p, 5000));
    ASSERT_NE(grown, nullptr);
    EXPECT_NE(grown, p);
    EXPECT_EQ(std::memcmp(grown, "payload of twenty...", 20), 0);

    // A growth the pool cannot serve leaves the old allocation as it was.
    DarwinTesting::failNextVMAllocate(KERN_NO_SPACE);
    EXPECT_EQ(own.Reallocate(grown, 60000), nullptr);
    EXPECT_EQ(std::memcmp(grown, "payload of twenty...", 20), 0);
    EXPECT_EQ(magicOf(grown), 0xFACEF00Du);
    own.Deallocate(grown);
    EXPECT_EQ(own.Heap().BytesInUse(), 0u);
}

TEST_F(SubAllocatorTest, PointersOfTheSystemHeapGoToFreeAndRealloc)
{
    void* foreign = std::malloc(1000);
    ASSERT_NE(foreign, nullptr);
    EXPECT_EQ(SnarlSubAllocator::Recognise(foreign), nullptr);
    // Not freed, it would be reported as a leak under the asan preset.
    own.Deallocate(foreign);

    auto* text = static_cast<char*>(std::malloc(8));
    std::memcpy(text, "foreign", 8);
    auto* moved = static_cast<char*>(own.Reallocate(text, 100000));
    ASSERT_NE(moved, nullptr);
    EXPECT_STREQ(moved, "foreign");
    EXPECT_EQ(SnarlSubAllocator::Recognise(moved), nullptr);
    std::free(moved);
}

TEST_F(SubAllocatorTest, PointersJustPastAnUnmappedPageAreNotProbedThere)
{
    vm_address_t pages = 0;
    ASSERT_EQ(vm_allocate(mach_task_self(), &pages, 2 * 4096, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
    ASSERT_EQ(vm_deallocate(mach_task_self(), pages, 4096), KERN_SUCCESS);
    auto* secondPage = reinterpret_cast<char*>(pages + 4096);
    for (int offset : {0, 4, 8, 15}) {
        EXPECT_EQ(SnarlSubAllocator::Recognise(secondPage + offset), nullptr) << "offset " << offset;
    }
    // Readable preceding bytes are read: a stamped header is recognised.
    auto* header = reinterpret_cast<SnarlAllocation*>(secondPage + 16);
    header->magic = SnarlAllocation::kBuddyMagic;
    EXPECT_EQ(SnarlSubAllocator::Recognise(secondPage + 32), header);
    vm_deallocate(mach_task_self(), pages + 4096, 4096);
}

TEST_F(SubAllocatorTest, AForeignThreadsFreeIsReclaimedAtTheOwnersNextCall)
{
    for (bool reclaimByAllocate : {true, false}) {
        SCOPED_TRACE(reclaimByAllocate ? "next Allocate" : "next Deallocate");
        void* shared = own.Allocate(100);
        void* kept = own.Allocate(200);
        const uint64_t inUse = own.Heap().BytesInUse();
        std::thread([&] { allocator.GetSubAllocator()->Deallocate(shared); }).join();
        EXPECT_EQ(own.Heap().BytesInUse(), inUse);

        if (reclaimByAllocate) {
            void* next = own.Allocate(100);
            EXPECT_EQ(own.Heap().BytesInUse(), inUse);
            own.Deallocate(next);
            own.Deallocate(kept);
        } else {
            own.Deallocate(kept);
        }
        EXPECT_EQ(own.Heap().BytesInUse(), 0u);
        EXPECT_EQ(own.Heap().TotalBytes(), 0u);
    }
}

TEST_F(SubAllocatorTest, AnEndedThreadsSubAllocatorIsCollectedOnceEmpty)
{
    const int64_t pooled = allocator.PooledCount();
    void* held = nullptr;
    void* large = nullptr;
    std::thread([&] {
        held = allocator.GetSubAllocator()->Allocate(64);
        large = allocator.GetSubAllocator()->Allocate(60000);
        // An empty one goes at once.
        std::thread([&] {
            allocator.GetSubAllocator()->Deallocate(allocator.GetSubAllocator()->Allocate(8));
        }).join();
    }).join();
    EXPECT_EQ(allocator.PooledCount(), pooled - 1);

    allocator.PollOrphans();
    EXPECT_EQ(allocator.OrphanCount(), 1u);
    own.Deallocate(held);
    allocator.PollOrphans();
    EXPECT_EQ(allocator.OrphanCount(), 1u);
    EXPECT_EQ(allocator.PooledCount(), pooled);
    own.Deallocate(large);
    allocator.PollOrphans();
    EXPECT_EQ(allocator.OrphanCount(), 0u);
    EXPECT_EQ(allocator.GetSubAllocatorOrphan(), nullptr);
}

TEST_F(SubAllocatorTest, DestructionIsAllowedOnlyWhenNothingIsHeld)
{
    EXPECT_TRUE(own.AllowDestruction());
    for (size_t size : {size_t(10), size_t(50000)}) {
        void* p = own.Allocate(size);
        EXPECT_FALSE(own.AllowDestruction()) << size;
        own.Deallocate(p);
        EXPECT_TRUE(own.AllowDestruction()) << size;
    }
}

TEST_F(SubAllocatorTest, ActualSizesAndEmptyingTheHeap)
{
    EXPECT_EQ(BuddySystemSubAllocator::RequestedToActualSize(100), 112u);
    EXPECT_EQ(BuddySystemSubAllocator::RequestedToActualSize(41328), 41328u);
    EXPECT_EQ(BuddySystemSubAllocator::RequestedToActualSize(41329), 41332u);

    void* taken = own.Allocate(100);
    const std::vector<void*> rest = own.EmptyHeap();
    ASSERT_FALSE(rest.empty());
    // The whole arena's class size is in use; its total leaves out the root's header.
    EXPECT_EQ(own.Heap().BytesInUse(), own.Heap().TotalBytes() + 16);
    for (void* p : rest) {
        EXPECT_EQ(SnarlSubAllocator::Recognise(p), SnarlAllocation::FromUserPointer(p));
        own.Deallocate(p);
    }
    own.Deallocate(taken);
    EXPECT_EQ(own.Heap().TotalBytes(), 0u);
}

TEST(SnarlDebuggingTest, ReportsTheCallingThreadsHeap)
{
    BuddySystemSubAllocator& mine = *SnarlAllocator::Instance().GetSubAllocator();
    const uint64_t inUse = SnarlDebugging::BytesInUseInOperatorNewPools();
    void* p = mine.Allocate(100);
    EXPECT_EQ(SnarlDebugging::BytesInUseInOperatorNewPools(), inUse + 128);
    EXPECT_EQ(SnarlDebugging::TotalBytesInOperatorNewPools(), mine.Heap().TotalBytes());
    EXPECT_EQ(SnarlDebugging::FreeBytesInOperatorNewPools(),
              SnarlDebugging::TotalBytesInOperatorNewPools() -
                  SnarlDebugging::BytesInUseInOperatorNewPools());
    EXPECT_EQ(SnarlDebugging::LogicalBytesInOperatorNewPools(), 0u);
    EXPECT_EQ(SnarlDebugging::BlocksInOperatorNewPools(), 0u);
    mine.Deallocate(p);
    EXPECT_EQ(SnarlDebugging::BytesInUseInOperatorNewPools(), inUse);
}

} // namespace
