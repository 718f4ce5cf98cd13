#include "Source.h"

#include "CheckedRef.h"
#include "RunLoop.h"
#include "StructureLock.h"

#include <algorithm>

namespace CFPlatform {

namespace {

CFRunLoopSourceContext retainedContext(const CFRunLoopSourceContext& context)
{
    CFRunLoopSourceContext copy = context;
    if (copy.retain) {
        copy.info = const_cast<void*>(copy.retain(copy.info));
    }
    return copy;
}

} // namespace

Source::Source(CFIndex order, const CFRunLoopSourceContext& context)
    : fOrder(order), fKind(Kind::Version0), fContext(retainedContext(context)), fServePort(nullptr)
{}

Source::Source(CFIndex order, const CFRunLoopSourceContext& context, ServePort servePort)
    : fOrder(order), fKind(Kind::Port), fContext(retainedContext(context)), fServePort(servePort)
{}

Source::~Source()
{
    if (fContext.release) {
        fContext.release(fContext.info);
    }
}

CFTypeID Source::staticTypeID()
{
    static const CFTypeID type = registerType("CFRunLoopSource");
    return type;
}

void Source::signal()
{
    if (isValid()) {
        fSignalled.store(true, std::memory_order_release);
    }
}

bool Source::serve()
{
    if (fServePort) {
        return fServePort(fContext.info);
    }
    if (fContext.perform) {
        fContext.perform(fContext.info);
    }
    return true;
}

void Source::schedule(RunLoop& loop, CFRunLoopMode mode) const
{
    if (fContext.schedule) {
        fContext.schedule(fContext.info, refOf<CFRunLoopRef>(loop), mode);
    }
}

void Source::cancel(RunLoop& loop, CFRunLoopMode mode) const
{
    if (fContext.cancel) {
        fContext.cancel(fContext.info, refOf<CFRunLoopRef>(loop), mode);
    }
}

bool Source::isMember(const RunLoop* loop, const RunLoopMode* mode) const
{
    return std::any_of(fMemberships.begin(), fMemberships.end(),
                       [&](const Membership& m) { return m.fLoop == loop && m.fMode == mode; });
}

void Source::forget(const RunLoop* loop, const RunLoopMode* mode)
{
    auto found = std::find_if(fMemberships.begin(), fMemberships.end(),
                              [&](const Membership& m) { return m.fLoop == loop && m.fMode == mode; });
    if (found != fMemberships.end()) {
        fMemberships.erase(found);
    }
}

void Source::invalidate()
{
    // Each loop left is retained until its cancel has run. A loop whose last reference is gone
    // already keeps the membership: its destructor, waiting for the structure lock, cancels it.
    std::vector<Membership> left;
    {
        std::lock_guard structure(runLoopStructureLock());
        if (!fValid.exchange(false, std::memory_order_acq_rel)) {
            return;
        }
        fSignalled.store(false, std::memory_order_release);
        std::vector<Membership> kept;
        for (const Membership& m : fMemberships) {
            if (m.fLoop->retainUnlessReleased()) {
                m.fLoop->dropSource(*this, m.fMode);
                left.push_back(m);
            } else {
                kept.push_back(m);
            }
        }
        fMemberships.swap(kept);
    }
    for (const Membership& m : left) {
        if (m.fMode) {
            cancel(*m.fLoop, m.fMode->fName);
        }
    }
    // Each membership held one reference to this source; the caller holds another.
    for (const Membership& m : left) {
        m.fLoop->release();
        release();
    }
}

} // namespace CFPlatform
