#include <mach/mach.h>
#include <mach/mach_vm.h>

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <vector>

namespace {

struct Region
{
    kern_return_t fResult;
    mach_vm_address_t fStart;
    mach_vm_size_t fSize;
    vm_region_basic_info_data_64_t fInfo;
};

Region regionAt(mach_vm_address_t address)
{
    Region region{};
    region.fStart = address;
    mach_msg_type_number_t count = VM_REGION_BASIC_INFO_COUNT_64;
    mach_port_t object;
    region.fResult = mach_vm_region(mach_task_self(), &region.fStart, &region.fSize, VM_REGION_BASIC_INFO_64,
                                    reinterpret_cast<vm_region_info_t>(&region.fInfo), &count, &object);
    return region;
}

class VirtualMemorySizes : public testing::TestWithParam<vm_size_t>
{};

TEST_P(VirtualMemorySizes, PagesAreZeroedAlignedAndWritable)
{
    vm_size_t size = GetParam();
    vm_size_t rounded = (size + vm_page_mask) & ~vm_page_mask;
    vm_address_t address = 0;
    ASSERT_EQ(vm_allocate(mach_task_self(), &address, size, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
    ASSERT_NE(address, 0u);
    EXPECT_EQ(address % vm_page_size, 0u);
    auto* bytes = reinterpret_cast<volatile unsigned char*>(address);
    for (vm_size_t i = 0; i < rounded; ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
        bytes[i] = 0xA5;
    }
    Region region = regionAt(address + rounded - 1);
    ASSERT_EQ(region.fResult, KERN_SUCCESS);
    EXPECT_EQ(region.fInfo.protection, VM_PROT_READ | VM_PROT_WRITE);
    EXPECT_EQ(vm_deallocate(mach_task_self(), address, size), KERN_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Darwin, VirtualMemorySizes, testing::Values(1, 4096, 4097, 10 * 4096 + 1));

TEST(VirtualMemory, SixtyFourBitFormsAndZeroSizes)
{
    mach_vm_address_t address = 0;
    ASSERT_EQ(mach_vm_allocate(mach_task_self(), &address, 3 * vm_page_size, VM_FLAGS_ANYWHERE),
              KERN_SUCCESS);
    EXPECT_EQ(address % vm_page_size, 0u);
    reinterpret_cast<volatile char*>(address)[3 * vm_page_size - 1] = 1;
    EXPECT_EQ(vm_deallocate(mach_task_self(), vm_address_t(address), 0), KERN_SUCCESS);
    EXPECT_EQ(reinterpret_cast<volatile char*>(address)[0], 0);
    EXPECT_EQ(mach_vm_deallocate(mach_task_self(), address, 3 * vm_page_size), KERN_SUCCESS);
}

TEST(VirtualMemory, FixedPlacementOnlyWhereTheRangeIsFree)
{
    vm_address_t address = 0;
    ASSERT_EQ(vm_allocate(mach_task_self(), &address, 2 * vm_page_size, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
    vm_address_t taken = address;
    EXPECT_EQ(vm_allocate(mach_task_self(), &taken, vm_page_size, VM_FLAGS_FIXED), KERN_NO_SPACE);

    ASSERT_EQ(vm_deallocate(mach_task_self(), address + vm_page_size, vm_page_size), KERN_SUCCESS);
    vm_address_t freed = address + vm_page_size;
    ASSERT_EQ(vm_allocate(mach_task_self(), &freed, vm_page_size, VM_FLAGS_FIXED), KERN_SUCCESS);
    EXPECT_EQ(freed, address + vm_page_size);
    EXPECT_EQ(vm_deallocate(mach_task_self(), address, 2 * vm_page_size), KERN_SUCCESS);
}

TEST(VirtualMemoryRegion, FindsTheNextMappingAfterAGap)
{
    vm_address_t address = 0;
    ASSERT_EQ(vm_allocate(mach_task_self(), &address, 3 * vm_page_size, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
    ASSERT_EQ(vm_deallocate(mach_task_self(), address + vm_page_size, vm_page_size), KERN_SUCCESS);
    ASSERT_EQ(mprotect(reinterpret_cast<void*>(address + 2 * vm_page_size), vm_page_size, PROT_READ), 0);

    Region inside = regionAt(address);
    ASSERT_EQ(inside.fResult, KERN_SUCCESS);
    EXPECT_LE(inside.fStart, address);
    EXPECT_EQ(inside.fStart + inside.fSize, address + vm_page_size);
    EXPECT_EQ(inside.fInfo.protection, VM_PROT_READ | VM_PROT_WRITE);

    Region next = regionAt(address + vm_page_size);
    ASSERT_EQ(next.fResult, KERN_SUCCESS);
    EXPECT_EQ(next.fStart, address + 2 * vm_page_size);
    EXPECT_GE(next.fSize, vm_page_size);
    EXPECT_EQ(next.fInfo.protection, VM_PROT_READ);
    EXPECT_EQ(next.fInfo.max_protection & VM_PROT_READ, VM_PROT_READ);
    EXPECT_FALSE(next.fInfo.shared);

    vm_deallocate(mach_task_self(), address, 3 * vm_page_size);
}

TEST(VirtualMemoryRegion, WalksEveryMappingInOrderAndFailsAboveTheLast)
{
    vm_address_t mine = 0;
    ASSERT_EQ(vm_allocate(mach_task_self(), &mine, vm_page_size, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
    bool foundMine = false;
    mach_vm_address_t end = 0;
    Region region = regionAt(end);
    // Each answer is the first mapping ending above the address asked about (mappings may grow or
    // shrink meanwhile: the process keeps running).
    while (region.fResult == KERN_SUCCESS) {
        EXPECT_GT(region.fSize, 0u);
        EXPECT_GT(region.fStart + region.fSize, end);
        end = region.fStart + region.fSize;
        foundMine |= region.fStart <= mine && mine < end;
        region = regionAt(end);
    }
    EXPECT_EQ(region.fResult, KERN_INVALID_ADDRESS);
    EXPECT_TRUE(foundMine);
    EXPECT_EQ(regionAt(UINT64_MAX).fResult, KERN_INVALID_ADDRESS);
    vm_deallocate(mach_task_self(), mine, vm_page_size);
}

TEST(VirtualMemoryRegion, AddressSizedQueryAgreesWithTheSixtyFourBitOne)
{
    vm_address_t mine = 0;
    ASSERT_EQ(vm_allocate(mach_task_self(), &mine, vm_page_size, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
    Region expected = regionAt(mine);
    vm_address_t address = mine;
    vm_size_t size = 0;
    vm_region_basic_info_data_64_t info{};
    mach_msg_type_number_t count = VM_REGION_BASIC_INFO_COUNT_64;
    mach_port_t object;
    ASSERT_EQ(vm_region_64(mach_task_self(), &address, &size, VM_REGION_BASIC_INFO_64,
                           reinterpret_cast<vm_region_info_t>(&info), &count, &object),
              KERN_SUCCESS);
    EXPECT_EQ(address, expected.fStart);
    EXPECT_EQ(size, expected.fSize);
    EXPECT_EQ(info.protection, VM_PROT_READ | VM_PROT_WRITE);
    vm_deallocate(mach_task_self(), mine, vm_page_size);
}

TEST(VirtualMemoryRegion, RefusesAShortInformationBuffer)
{
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    vm_region_basic_info_data_64_t info;
    mach_msg_type_number_t count = VM_REGION_BASIC_INFO_COUNT_64 - 1;
    mach_port_t object;
    EXPECT_EQ(VM_REGION_BASIC_INFO_COUNT_64, 9u);
    EXPECT_EQ(mach_vm_region(mach_task_self(), &address, &size, VM_REGION_BASIC_INFO_64,
                             reinterpret_cast<vm_region_info_t>(&info), &count, &object),
              KERN_INVALID_ARGUMENT);
}

} // namespace
