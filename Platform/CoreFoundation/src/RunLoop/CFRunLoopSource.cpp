#include "CheckedRef.h"
#include "Source.h"

using CFPlatform::checkedRef;
using CFPlatform::refOf;
using CFPlatform::Source;

CFTypeID CFRunLoopSourceGetTypeID(void)
{
    return Source::staticTypeID();
}

CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef, CFIndex order, CFRunLoopSourceContext* context)
{
    if (!context || context->version != 0) {
        return nullptr;
    }
    return refOf<CFRunLoopSourceRef>(*new Source(order, *context));
}

void CFRunLoopSourceSignal(CFRunLoopSourceRef source)
{
    checkedRef<Source>(source, "CFRunLoopSourceSignal").signal();
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source)
{
    checkedRef<Source>(source, "CFRunLoopSourceInvalidate").invalidate();
}

Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source)
{
    return checkedRef<Source>(source, "CFRunLoopSourceIsValid").isValid();
}
