#include "Names.h"

#include <mach/mach_vm.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace {

struct Mapping
{
    uint64_t fStart;
    uint64_t fEnd;
    char fPermissions[5];
    uint64_t fOffset;
};

// Reads one hexadecimal field and the separator after it.
bool parseHex(const char*& cursor, const char* end, uint64_t& value)
{
    value = 0;
    const char* first = cursor;
    for (; cursor < end; ++cursor) {
        char c = *cursor;
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            break;
        }
        value = value << 4 | uint64_t(digit);
    }
    if (cursor == first || cursor == end) {
        return false;
    }
    ++cursor;
    return true;
}

// One line of /proc/self/maps: "start-end perms offset ...".
bool parseMapping(const char* line, const char* end, Mapping& mapping)
{
    const char* cursor = line;
    if (!parseHex(cursor, end, mapping.fStart) || !parseHex(cursor, end, mapping.fEnd) || end - cursor < 5) {
        return false;
    }
    std::memcpy(mapping.fPermissions, cursor, 4);
    mapping.fPermissions[4] = 0;
    cursor += 5;
    return parseHex(cursor, end, mapping.fOffset);
}

// The first mapping of /proc/self/maps that ends above `address`. Allocates nothing: callers
// include deallocation paths.
bool findMapping(uint64_t address, Mapping& found)
{
    int file = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    char buffer[8192];
    size_t held = 0;
    bool matched = false;
    for (;;) {
        ssize_t length = read(file, buffer + held, sizeof buffer - held);
        if (length <= 0) {
            break;
        }
        held += size_t(length);
        const char* line = buffer;
        const char* end = buffer + held;
        while (const char* newline = static_cast<const char*>(std::memchr(line, '\n', size_t(end - line)))) {
            Mapping mapping{};
            if (parseMapping(line, newline, mapping) && mapping.fEnd > address) {
                found = mapping;
                matched = true;
                break;
            }
            line = newline + 1;
        }
        if (matched) {
            break;
        }
        held = size_t(end - line);
        if (held == sizeof buffer) {
            break; // a line longer than the buffer: the file is not what we expect
        }
        std::memmove(buffer, line, held);
    }
    close(file);
    return matched;
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

kern_return_t vm_region_64(task_t task, vm_address_t* address, vm_size_t* size, vm_region_flavor_t flavor,
                           vm_region_info_t info, mach_msg_type_number_t* count, mach_port_t* object_name)
{
    if (!address || !size) {
        return KERN_INVALID_ARGUMENT;
    }
    mach_vm_address_t regionAddress = *address;
    mach_vm_size_t regionSize = 0;
    kern_return_t result =
        mach_vm_region(task, &regionAddress, &regionSize, flavor, info, count, object_name);
    if (result == KERN_SUCCESS) {
        *address = vm_address_t(regionAddress);
        *size = vm_size_t(regionSize);
    }
    return result;
}
