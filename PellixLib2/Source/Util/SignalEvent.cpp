#include "SignalEvent.h"

namespace Pellix {

void SignalEvent::Wait()
{
    Lock("SignalEvent::Wait");
    WaitHoldingLock(-1);
    Unlock();
}

void SignalEvent::Signal()
{
    Lock("SignalEvent::Signal");
    SignalCondition();
    Unlock();
}

} // namespace Pellix
