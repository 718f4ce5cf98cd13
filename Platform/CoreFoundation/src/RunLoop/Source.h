#pragma once

#include <CFPlatform/Object.h>
#include <CoreFoundation/CFRunLoop.h>

#include <atomic>
#include <vector>

namespace CFPlatform {

class RunLoop;
struct RunLoopMode;

// A run-loop source: a version-0 source from CFRunLoopSourceCreate, or a CFMachPort's source,
// which serves one message per pass and says whether there was one.
class Source final : public Object
{
public:
    enum class Kind
    {
        Version0,
        Port
    };
    using ServePort = bool (*)(void* info);

    Source(CFIndex order, const CFRunLoopSourceContext& context);
    Source(CFIndex order, const CFRunLoopSourceContext& context, ServePort servePort);

    static CFTypeID staticTypeID();
    CFTypeID typeID() const override { return staticTypeID(); }

    CFIndex order() const { return fOrder; }
    Kind kind() const { return fKind; }
    bool isValid() const { return fValid.load(std::memory_order_acquire); }

    // Neither allocates nor takes a lock.
    void signal();
    bool isSignalled() const { return fSignalled.load(std::memory_order_acquire); }
    bool takeSignal() { return fSignalled.exchange(false, std::memory_order_acq_rel); }

    // Runs the callout; answers whether it handled work that ends a run asked to return after one.
    bool serve();
    void schedule(RunLoop& loop, CFRunLoopMode mode) const;
    void cancel(RunLoop& loop, CFRunLoopMode mode) const;

    // Leaves every loop and mode, calling cancel for each, and ignores signals from now on.
    void invalidate();

    // Where the source is. A null mode is the loop's list of common-mode items. Shared by every
    // loop holding the source, so read and changed with the structure lock held only; a loop asks
    // its own lists instead.
    struct Membership
    {
        RunLoop* fLoop;
        RunLoopMode* fMode;
    };
    std::vector<Membership> fMemberships;
    bool isMember(const RunLoop* loop, const RunLoopMode* mode) const;
    void forget(const RunLoop* loop, const RunLoopMode* mode);

private:
    ~Source() override;

    const CFIndex fOrder;
    const Kind fKind;
    const CFRunLoopSourceContext fContext;
    const ServePort fServePort;
    std::atomic<bool> fValid{true};
    std::atomic<bool> fSignalled{false};
};

} // namespace CFPlatform
