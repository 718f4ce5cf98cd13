#include "GlobalMutex.h"

namespace Pellix {

Mutex GlobalMutex::gMutex;

bool GlobalMutex::IsLocked()
{
    return gMutex.IsLocked();
}

void GlobalMutex::Lock(const char* caller)
{
    gMutex.Lock(caller);
}

void GlobalMutex::Unlock()
{
    gMutex.Unlock();
}

void GlobalMutex::WaitForCondition()
{
    gMutex.WaitForCondition(2.0);
}

void GlobalMutex::SignalCondition()
{
    gMutex.SignalCondition();
}

} // namespace Pellix
