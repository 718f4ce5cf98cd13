#include "MemAlloc/SnarlDebugging.h"
#include "MemAlloc/SnarlVorkAllocator.h"

#include <CoreFoundation/CFUUID.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

CFUUIDBytes bytesOf(CFUUIDRef uuid)
{
    return CFUUIDGetUUIDBytes(uuid);
}

TEST(VorkAllocatorTest, TheGlobalAllocatorExistsWithOneReference)
{
    ASSERT_NE(gGlobalVorkAllocator, nullptr);
    EXPECT_EQ(gGlobalVorkAllocator->AddRef(), 2u);
    EXPECT_EQ(gGlobalVorkAllocator->Release(), 1u);
}

TEST(VorkAllocatorTest, QueryInterfaceAnswersForIUnknownAndTheAllocatorInterfaceOnly)
{
    IVorkAllocator* allocator = new SnarlVorkAllocator;
    for (CFUUIDRef iid : {IUnknownUUID, kIVorkAllocatorUUID}) {
        void* out = nullptr;
        EXPECT_EQ(allocator->QueryInterface(bytesOf(iid), &out), S_OK);
        EXPECT_EQ(out, allocator);
        EXPECT_EQ(allocator->Release(), 1u);
    }
    void* out = allocator;
    const CFUUIDRef other =
        CFUUIDGetConstantUUIDWithBytes(nullptr, 0xCE, 0x81, 0x4E, 0xF9, 0x5F, 0xCF, 0x4D, 0x84, 0x87, 0x66,
                                       0x65, 0x00, 0xEB, 0x80, 0x11, 0x33);
    EXPECT_EQ(allocator->QueryInterface(bytesOf(other), &out), HRESULT(0x80000004));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(allocator->AddRef(), 2u);
    EXPECT_EQ(allocator->Release(), 1u);
    // The last release deletes the object; the asan preset reports it if it does not.
    EXPECT_EQ(allocator->Release(), 0u);
}

TEST(VorkAllocatorTest, AllocatesReallocatesAndDeallocates)
{
    auto* p = static_cast<char*>(gGlobalVorkAllocator->allocate(6));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "bytes", 6);
    p = static_cast<char*>(gGlobalVorkAllocator->reallocate(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "bytes");
    gGlobalVorkAllocator->deallocate(p);
    gGlobalVorkAllocator->deallocate(nullptr);
}

TEST(VorkAllocatorTest, ShowMessagePrintsFileLineAndMessage)
{
    testing::internal::CaptureStdout();
    SnarlShowMessageAndBreak("heap damaged", "Heap.cpp", 42);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Heap.cpp:42 -- heap damaged\n");
}

} // namespace
