#include "MemLeak.h"

void __AllocateBlock(void*) {}

void __DeallocateBlock(void*) {}

void __ClearMemLeakStats() {}

void __MemLeakStats() {}

bool EnableMemLeak(bool)
{
    return false;
}

bool MemLeakIsEnabled()
{
    return false;
}
