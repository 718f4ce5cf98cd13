#pragma once

#include <dispatch/dispatch.h>

namespace Dispatch {

// The queues a thread is running blocks for, innermost first. A block run for dispatch_sync links
// to its caller's frames, so the caller's queues count as held while it waits.
struct Frame
{
    dispatch_queue_t queue;
    const Frame* caller;
};

// The calling thread's innermost frame; the main thread always holds the main queue.
const Frame* currentFrame();

// Whether the calling thread runs on `queue`, directly or through the callers of dispatch_sync.
bool runsOn(dispatch_queue_t queue);

// Makes `frame` the calling thread's innermost frame for the scope's lifetime.
class FrameScope
{
public:
    explicit FrameScope(const Frame& frame);
    ~FrameScope();
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;

private:
    const Frame* fOuter;
};

} // namespace Dispatch
