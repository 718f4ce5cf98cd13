#include "SanitizerBuild.h"

#include "MemAlloc/Atomics.h"
#include "MemAlloc/MemLeak.h"
#include "MemAlloc/OSPage.h"
#include "MemAlloc/SnarlDisabled.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

namespace {

// The file of the object that defines an address.
std::string objectDefining(const void* address)
{
    Dl_info info{};
    EXPECT_NE(dladdr(address, &info), 0);
    return info.dli_fname ? info.dli_fname : "";
}

TEST(GlobalAllocationTest, TheLibrarysOperatorsServeTheProcess)
{
    SKIP_UNDER_SANITIZER_OPERATORS();
    const std::string library = objectDefining(reinterpret_cast<const void*>(&SnarlDisabledAllocate));
    ASSERT_NE(library.find("PellixLib2Mac"), std::string::npos) << library;
    for (const char* name : {"_Znwm", "_Znam", "_ZnwmRKSt9nothrow_t", "_ZnamRKSt9nothrow_t", "_ZdlPv",
                             "_ZdaPv", "_ZdlPvRKSt9nothrow_t", "_ZdaPvRKSt9nothrow_t"}) {
        const void* resolved = dlsym(RTLD_DEFAULT, name);
        ASSERT_NE(resolved, nullptr) << name;
        EXPECT_EQ(objectDefining(resolved), library) << name;
    }
}

TEST(GlobalAllocationTest, ZeroBytesGiveWhatMallocGives)
{
    void* const from_malloc = std::malloc(0);
    void* const from_new = ::operator new(0);
    ASSERT_NE(from_malloc, nullptr);
    ASSERT_NE(from_new, nullptr);
    EXPECT_EQ(malloc_usable_size(from_new), malloc_usable_size(from_malloc));
    ::operator delete(from_new);
    std::free(from_malloc);
}

TEST(GlobalAllocationTest, ExhaustionThrowsOrGivesNull)
{
    SKIP_UNDER_SANITIZER_OPERATORS();
    volatile std::size_t huge = SIZE_MAX / 2;
    EXPECT_THROW(static_cast<void>(::operator new(huge)), std::bad_alloc);
    EXPECT_THROW(static_cast<void>(::operator new[](huge)), std::bad_alloc);
    EXPECT_EQ(::operator new(huge, std::nothrow), nullptr);
    EXPECT_EQ(::operator new[](huge, std::nothrow), nullptr);
    EXPECT_EQ(SnarlDisabledAllocate(huge), nullptr);
}

TEST(GlobalAllocationTest, DeletingNullDoesNothing)
{
    // In a process of its own, which goes on to exit normally.
    EXPECT_EXIT(
        {
            ::operator delete(nullptr);
            ::operator delete[](nullptr);
            ::operator delete(nullptr, std::nothrow);
            ::operator delete[](nullptr, std::nothrow);
            SnarlDisabledDeallocate(nullptr);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// Hides where a block came from, so that the compiler does not object to the deliberate mix.
void* opaque(void* block)
{
    void* volatile hidden = block;
    return hidden;
}

TEST(GlobalAllocationTest, NewAndMallocShareOneHeap)
{
    SKIP_UNDER_SANITIZER_OPERATORS();
    std::free(opaque(::operator new(24)));
    std::free(opaque(::operator new[](40, std::nothrow)));
    ::operator delete(opaque(std::malloc(24)));
    ::operator delete[](opaque(std::malloc(40)), std::nothrow);
    SnarlDisabledDeallocate(opaque(::operator new(8)));
}

TEST(GlobalAllocationTest, AlignedAndSizedFormsWorkBeside)
{
    struct alignas(256) Wide
    {
        char bytes[256];
    };
    Wide* const wide = new Wide();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(wide) % 256, 0u);
    delete wide;
    void* const block = ::operator new(48);
    ::operator delete(block, 48);
}

TEST(GlobalAllocationTest, LeakTrackingNeverTurnsOn)
{
    EXPECT_FALSE(EnableMemLeak(true));
    EXPECT_FALSE(MemLeakIsEnabled());
    const WithMemLeakDisabled disabled;
    EXPECT_FALSE(EnableMemLeak(false));
    EXPECT_FALSE(MemLeakIsEnabled());
}

struct Atomic32Case
{
    const char* name;
    int32_t start;
    std::function<int32_t(volatile int32_t*)> operation;
    int32_t result;
    int32_t after;
};

volatile uint32_t* flagsOf(volatile int32_t* word)
{
    return reinterpret_cast<volatile uint32_t*>(word);
}

TEST(GlobalAllocationTest, Atomics32)
{
    const Atomic32Case cases[] = {
        {"add", 5, [](auto w) { return AtomicAdd32Implementation(w, 3); }, 5, 8},
        {"add and return", 5, [](auto w) { return AtomicAddAndReturn32Implementation(w, 3); }, 8, 8},
        {"add wraps", INT32_MAX, [](auto w) { return AtomicAdd32Implementation(w, 1); }, INT32_MAX,
         INT32_MIN},
        {"load and store", 7, [](auto w) { return AtomicLoadAndStore32(w, -2); }, 7, -2},
        {"test and set, clear", 0x100, [](auto w) { return int32_t(AtomicTestAndSet32(flagsOf(w))); }, 0,
         0x101},
        {"test and set, set", 1, [](auto w) { return int32_t(AtomicTestAndSet32(flagsOf(w))); }, 1, 1},
        {"test and clear, set", 0x81, [](auto w) { return int32_t(AtomicTestAndClear32(flagsOf(w))); }, 1,
         0x80},
        {"test and clear, clear", 0x80, [](auto w) { return int32_t(AtomicTestAndClear32(flagsOf(w))); }, 0,
         0x80},
        {"compare and swap", 4, [](auto w) { return int32_t(AtomicCompareAndSwap32(w, 4, 9)); }, 1, 9},
        {"compare and swap fails", 4, [](auto w) { return int32_t(AtomicCompareAndSwap32(w, 5, 9)); }, 0, 4},
        {"try lock", 0, [](auto w) { return int32_t(AtomicTryLock(w)); }, 1, 1},
        {"try lock held", 1, [](auto w) { return int32_t(AtomicTryLock(w)); }, 0, 1},
        {"load", -6, [](auto w) { return AtomicLoad32(w); }, -6, -6},
    };
    for (const auto& c : cases) {
        volatile int32_t word = c.start;
        EXPECT_EQ(c.operation(&word), c.result) << c.name;
        EXPECT_EQ(word, c.after) << c.name;
    }
}

TEST(GlobalAllocationTest, Atomics64)
{
    volatile int64_t word = int64_t{1} << 40;
    EXPECT_EQ(AtomicAdd64Implementation(&word, 3), int64_t{1} << 40);
    EXPECT_EQ(AtomicLoad64(&word), (int64_t{1} << 40) + 3);
    EXPECT_FALSE(AtomicCompareAndSwap64(&word, 3, 4));
    EXPECT_TRUE(AtomicCompareAndSwap64(&word, (int64_t{1} << 40) + 3, -1));
    EXPECT_EQ(word, -1);
}

TEST(GlobalAllocationTest, Atomics128ReplaceBothHalvesOrNeither)
{
    alignas(16) volatile int64_t pair[2] = {1, -2};
    EXPECT_FALSE(AtomicCompareAndSwap128Implementation(pair, 1, 2, 5, 6));
    EXPECT_FALSE(AtomicCompareAndSwap128Implementation(pair, 0, -2, 5, 6));
    EXPECT_EQ(pair[0], 1);
    EXPECT_EQ(pair[1], -2);
    EXPECT_TRUE(AtomicCompareAndSwap128Implementation(pair, 1, -2, 5, INT64_MIN));
    EXPECT_EQ(pair[0], 5);
    EXPECT_EQ(pair[1], INT64_MIN);
}

TEST(GlobalAllocationTest, PageConstants)
{
    EXPECT_EQ(kOSPageSize, static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(kOSPageMask, ~kOSPageSize + 1);
}

// Pages of its own, released at the end.
class GlobalAllocationPagesTest : public testing::Test
{
protected:
    static constexpr std::size_t kPages = 3;

    void SetUp() override
    {
        fSize = static_cast<std::size_t>(kOSPageSize);
        void* const mapped =
            mmap(nullptr, kPages * fSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(mapped, MAP_FAILED);
        fBase = static_cast<char*>(mapped);
    }

    void TearDown() override { munmap(fBase, kPages * fSize); }

    char* page(std::size_t i) const { return fBase + i * fSize; }

    char* fBase = nullptr;
    std::size_t fSize = 0;
};

TEST_F(GlobalAllocationPagesTest, PageBoundaries)
{
    EXPECT_TRUE(IsOnPageBoundary(page(1)));
    EXPECT_FALSE(IsOnPageBoundary(page(1) + 1));
}

TEST_F(GlobalAllocationPagesTest, PrecedingBytesBehindAnInaccessiblePage)
{
    ASSERT_EQ(mprotect(page(0), fSize, PROT_NONE), 0);
    EXPECT_FALSE(CanAccessPrecedingBytes(page(1), 1));
    EXPECT_TRUE(CanAccessPrecedingBytes(page(2), fSize));
}

TEST_F(GlobalAllocationPagesTest, PrecedingBytesInAGapBelowAMapping)
{
    ASSERT_EQ(munmap(page(1), fSize), 0);
    EXPECT_FALSE(CanAccessPrecedingBytes(page(2), 16));
    EXPECT_TRUE(CanAccessPrecedingBytes(page(0) + 32, 16));
}

TEST(GlobalAllocationTest, PrecedingBytesInsideAMallocBlock)
{
    char* const block = static_cast<char*>(std::malloc(64));
    EXPECT_TRUE(CanAccessPrecedingBytes(block + 32, 16));
    std::free(block);
}

} // namespace
