#include <DarwinTesting/RealTimeClass.h>

#include "RealTimeSwitch.h"

namespace DarwinTesting {

void setDriverThreadsRealTime(bool on)
{
    DarwinRealTime::driverThreadsSwitch().store(on, std::memory_order_release);
}

} // namespace DarwinTesting
