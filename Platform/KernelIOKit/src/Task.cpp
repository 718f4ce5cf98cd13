#include <IOKit/IOKernelTypes.h>

// Every caller here is the one process standing in for the kernel and its clients.
struct task
{};

namespace {
task process;
}

inline namespace kernel {

task_t current_task()
{
    return &process;
}

} // namespace kernel
