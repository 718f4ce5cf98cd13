#include <DarwinTesting/VirtualMemory.h>
#include <mach/mach.h>
#include <mach/mach_vm.h>

#include <gtest/gtest.h>

namespace {

TEST(VirtualMemoryFaults, TheNextAllocationFailsOnceAndMapsNothing)
{
    DarwinTesting::failNextVMAllocate(KERN_NO_SPACE);
    vm_address_t address = 0;
    EXPECT_EQ(vm_allocate(mach_task_self(), &address, vm_page_size, VM_FLAGS_ANYWHERE), KERN_NO_SPACE);
    EXPECT_EQ(address, 0u);

    ASSERT_EQ(vm_allocate(mach_task_self(), &address, vm_page_size, VM_FLAGS_ANYWHERE), KERN_SUCCESS);
    EXPECT_NE(address, 0u);
    EXPECT_EQ(vm_deallocate(mach_task_self(), address, vm_page_size), KERN_SUCCESS);
}

TEST(VirtualMemoryFaults, TheSixtyFourBitFormFailsToo)
{
    DarwinTesting::failNextVMAllocate(KERN_FAILURE);
    mach_vm_address_t address = 0;
    EXPECT_EQ(mach_vm_allocate(mach_task_self(), &address, vm_page_size, VM_FLAGS_ANYWHERE), KERN_FAILURE);
    EXPECT_EQ(address, 0u);
}

} // namespace
