#include "InjectedFault.h"

namespace Darwin {

InjectedFault& vmAllocateFault()
{
    static constinit InjectedFault fault;
    return fault;
}

InjectedFault& semaphoreCreateFault()
{
    static constinit InjectedFault fault;
    return fault;
}

} // namespace Darwin
