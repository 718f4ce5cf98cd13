// Handles and iterators.

#include "Iterators.h"

#include <IOKit/IOKitLib.h>

using IOKit::findHandle;
using IOKit::HandleTable;
using IOKit::IteratorHandle;

const mach_port_t kIOMainPortDefault = MACH_PORT_NULL;
const mach_port_t kIOMasterPortDefault = MACH_PORT_NULL;

kern_return_t IOObjectRetain(io_object_t object)
{
    return HandleTable::shared().retain(object);
}

kern_return_t IOObjectRelease(io_object_t object)
{
    return HandleTable::shared().release(object);
}

uint32_t IOObjectGetUserRetainCount(io_object_t object)
{
    return HandleTable::shared().userCount(object);
}

io_object_t IOIteratorNext(io_iterator_t iterator)
{
    auto found = findHandle<IteratorHandle>(iterator);
    return found ? found->next() : 0;
}

boolean_t IOIteratorIsValid(io_iterator_t iterator)
{
    auto found = findHandle<IteratorHandle>(iterator);
    return found && found->isValid();
}

void IOIteratorReset(io_iterator_t iterator)
{
    if (auto found = findHandle<IteratorHandle>(iterator)) {
        found->reset();
    }
}
