#include "Names.h"

#include <mach/mach_init.h>

#include <atomic>

namespace Darwin {

mach_port_t newName()
{
    static std::atomic<mach_port_t> sNext{kTaskName + 1};
    return sNext.fetch_add(1, std::memory_order_relaxed);
}

} // namespace Darwin

mach_port_t mach_task_self(void)
{
    return Darwin::kTaskName;
}
