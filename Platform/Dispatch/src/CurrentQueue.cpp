#include "CurrentQueue.h"

#include "MainThread.h"

namespace Dispatch {
namespace {

thread_local const Frame* tInnermost = nullptr;

} // namespace

const Frame* currentFrame()
{
    if (tInnermost != nullptr || !isMainThread()) {
        return tInnermost;
    }
    static const Frame sMainThreadFrame{dispatch_get_main_queue(), nullptr};
    return &sMainThreadFrame;
}

bool runsOn(dispatch_queue_t queue)
{
    for (const Frame* frame = currentFrame(); frame != nullptr; frame = frame->caller) {
        if (frame->queue == queue) {
            return true;
        }
    }
    return false;
}

FrameScope::FrameScope(const Frame& frame) : fOuter(tInnermost)
{
    tInnermost = &frame;
}

FrameScope::~FrameScope()
{
    tInnermost = fOuter;
}

} // namespace Dispatch
