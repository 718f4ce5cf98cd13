#include <CoreFoundation/CFDate.h>
#include <Darwin/Clock.h>

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void)
{
    return DarwinClock::absoluteNow();
}
