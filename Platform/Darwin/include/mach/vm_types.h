#pragma once

// Flags, protections and region information of virtual memory.

#include <mach/mach_types.h>

#define VM_FLAGS_FIXED 0x0
#define VM_FLAGS_ANYWHERE 0x1

typedef int vm_prot_t;
#define VM_PROT_NONE ((vm_prot_t)0x0)
#define VM_PROT_READ ((vm_prot_t)0x1)
#define VM_PROT_WRITE ((vm_prot_t)0x2)
#define VM_PROT_EXECUTE ((vm_prot_t)0x4)
#define VM_PROT_DEFAULT (VM_PROT_READ | VM_PROT_WRITE)
#define VM_PROT_ALL (VM_PROT_READ | VM_PROT_WRITE | VM_PROT_EXECUTE)

typedef unsigned int vm_inherit_t;
#define VM_INHERIT_SHARE ((vm_inherit_t)0)
#define VM_INHERIT_COPY ((vm_inherit_t)1)

typedef int vm_behavior_t;
#define VM_BEHAVIOR_DEFAULT ((vm_behavior_t)0)

typedef unsigned long long memory_object_offset_t;

typedef int vm_region_flavor_t;
typedef int* vm_region_info_t;
#define VM_REGION_BASIC_INFO_64 9

#pragma pack(push, 4)
struct vm_region_basic_info_64
{
    vm_prot_t protection;
    vm_prot_t max_protection;
    vm_inherit_t inheritance;
    boolean_t shared;
    boolean_t reserved;
    memory_object_offset_t offset;
    vm_behavior_t behavior;
    unsigned short user_wired_count;
};
#pragma pack(pop)
typedef struct vm_region_basic_info_64 vm_region_basic_info_data_64_t;
typedef struct vm_region_basic_info_64* vm_region_basic_info_64_t;

#define VM_REGION_BASIC_INFO_COUNT_64                                                                        \
    ((mach_msg_type_number_t)(sizeof(vm_region_basic_info_data_64_t) / sizeof(int)))
