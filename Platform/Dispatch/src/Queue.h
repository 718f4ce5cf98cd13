#pragma once

#include "Work.h"

#include <atomic>
#include <cstdint>
#include <dispatch/dispatch.h>
#include <mutex>
#include <string>
#include <thread>

// A serial queue: blocks run one at a time, first in, first out. An ordinary queue is served by a
// worker thread only while it holds blocks; the main queue is drained by the main run loop.
struct dispatch_queue_s
{
public:
    dispatch_queue_s(const char* label, bool isMain);
    dispatch_queue_s(const dispatch_queue_s&) = delete;
    dispatch_queue_s& operator=(const dispatch_queue_s&) = delete;

    const char* label() const { return fLabel.c_str(); }

    // The thread that runs this queue's blocks when known in advance (the main thread for the main
    // queue), so that a manual-clock advance made there does not wait for it.
    std::thread::id performer() const;

    void retain();
    void release();

    // Appends work: an idle ordinary queue gets a worker, the main queue wakes the main loop.
    void push(Dispatch::Work* work);

    // A worker's session: runs blocks until the queue is empty, then drops the worker's reference.
    void serve();

    // Runs the main queue's blocks that were queued when it was called; answers whether it ran any.
    bool drainPresent();
    bool hasWork();

private:
    ~dispatch_queue_s() = default;

    // A worker's next blocks, linked in order, or nullptr after marking the queue idle.
    Dispatch::Work* takeAllOrIdle();
    // The main queue's first block if it was queued before `limit`.
    Dispatch::Work* takeNextBefore(uint64_t limit);
    void perform(Dispatch::Work* work);

    const std::string fLabel;
    const bool fIsMain;
    std::atomic<int64_t> fReferences{1};
    std::mutex fLock;
    Dispatch::Work* fHead = nullptr;
    Dispatch::Work* fTail = nullptr;
    uint64_t fPushed = 0;
    bool fServed = false;
};

namespace Dispatch {

// Ends the process with a message naming `call` when `queue` is NULL.
void requireQueue(dispatch_queue_t queue, const char* call);

} // namespace Dispatch
