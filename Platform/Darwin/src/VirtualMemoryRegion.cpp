#include "Names.h"

#include <mach/mach_vm.h>

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Mapping
{
    uint64_t fStart;
    uint64_t fEnd;
    char fPermissions[5];
    uint64_t fOffset;
};

std::string readMaps()
{
    std::string text;
    int file = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return text;
    }
    char chunk[4096];
    ssize_t length;
    while ((length = read(file, chunk, sizeof chunk)) > 0) {
        text.append(chunk, size_t(length));
    }
    close(file);
    return text;
}

// The first mapping of /proc/self/maps that ends above `address`.
bool findMapping(uint64_t address, Mapping& found)
{
    std::string maps = readMaps();
    for (size_t line = 0; line < maps.size();) {
        size_t end = maps.find('\n', line);
        if (end == std::string::npos) {
            end = maps.size();
        }
        Mapping mapping{};
        if (std::sscanf(maps.c_str() + line, "%" SCNx64 "-%" SCNx64 " %4s %" SCNx64, &mapping.fStart,
                        &mapping.fEnd, mapping.fPermissions, &mapping.fOffset) == 4 &&
            mapping.fEnd > address) {
            found = mapping;
            return true;
        }
        line = end + 1;
    }
    return false;
}

} // namespace

kern_return_t mach_vm_region(task_t task, mach_vm_address_t* address, mach_vm_size_t* size,
                             vm_region_flavor_t flavor, vm_region_info_t info, mach_msg_type_number_t* count,
                             mach_port_t* object_name)
{
    if (task != Darwin::kTaskName || !address || !size || !info || !count ||
        flavor != VM_REGION_BASIC_INFO_64 || *count < VM_REGION_BASIC_INFO_COUNT_64) {
        return KERN_INVALID_ARGUMENT;
    }
    Mapping mapping;
    if (!findMapping(*address, mapping)) {
        return KERN_INVALID_ADDRESS;
    }
    vm_region_basic_info_data_64_t basic{};
    basic.protection = (mapping.fPermissions[0] == 'r' ? VM_PROT_READ : 0) |
                       (mapping.fPermissions[1] == 'w' ? VM_PROT_WRITE : 0) |
                       (mapping.fPermissions[2] == 'x' ? VM_PROT_EXECUTE : 0);
    // Linux does not tell how far a mapping's protection may be raised.
    basic.max_protection = VM_PROT_ALL;
    bool shared = mapping.fPermissions[3] == 's';
    basic.inheritance = shared ? VM_INHERIT_SHARE : VM_INHERIT_COPY;
    basic.shared = shared;
    basic.offset = mapping.fOffset;
    basic.behavior = VM_BEHAVIOR_DEFAULT;
    std::memcpy(info, &basic, sizeof basic);
    *address = mapping.fStart;
    *size = mapping.fEnd - mapping.fStart;
    *count = VM_REGION_BASIC_INFO_COUNT_64;
    if (object_name) {
        *object_name = MACH_PORT_NULL;
    }
    return KERN_SUCCESS;
}
