#include "CheckedRef.h"
#include "Timer.h"

using CFPlatform::checkedRef;
using CFPlatform::refOf;
using CFPlatform::Timer;

CFTypeID CFRunLoopTimerGetTypeID(void)
{
    return Timer::staticTypeID();
}

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate, CFTimeInterval interval,
                                       CFOptionFlags, CFIndex order, CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context)
{
    return refOf<CFRunLoopTimerRef>(*new Timer(fireDate, interval, order, callout, context));
}

CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer)
{
    return checkedRef<Timer>(timer, "CFRunLoopTimerGetNextFireDate").nextFireDate();
}

void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate)
{
    checkedRef<Timer>(timer, "CFRunLoopTimerSetNextFireDate").setNextFireDate(fireDate);
}

CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer)
{
    return checkedRef<Timer>(timer, "CFRunLoopTimerGetInterval").interval();
}

Boolean CFRunLoopTimerDoesRepeat(CFRunLoopTimerRef timer)
{
    return checkedRef<Timer>(timer, "CFRunLoopTimerDoesRepeat").repeats();
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer)
{
    checkedRef<Timer>(timer, "CFRunLoopTimerInvalidate").invalidate();
}

Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer)
{
    return checkedRef<Timer>(timer, "CFRunLoopTimerIsValid").isValid();
}
