#pragma once

#include "CurrentQueue.h"

#include <Darwin/Clock.h>
#include <condition_variable>
#include <cstdint>
#include <dispatch/dispatch.h>
#include <mutex>

namespace Dispatch {

// Lets dispatch_sync's caller wait until its block has run.
class SyncCompletion
{
public:
    void signal();
    void wait();

private:
    std::mutex fLock;
    std::condition_variable fDone;
    bool fSignalled = false;
};

// One block on a queue: a std::function, or a C function with its context. Asynchronous work is
// owned by the queue and freed once run; dispatch_sync's work lives on its waiting caller's stack.
struct Work
{
    explicit Work(dispatch_block_t block) : block(std::move(block)) {}
    Work(void* context, dispatch_function_t function) : function(function), context(context) {}

    void invoke() const
    {
        if (function != nullptr) {
            function(context);
        } else {
            block();
        }
    }

    dispatch_block_t block;
    dispatch_function_t function = nullptr;
    void* context = nullptr;
    // dispatch_sync only: the waiting caller's frames and its completion.
    const Frame* caller = nullptr;
    SyncCompletion* completion = nullptr;
    // dispatch_after only: keeps a manual-clock advance waiting until the block has run.
    DarwinClock::Activity activity;
    uint64_t sequence = 0;
    Work* next = nullptr;
};

} // namespace Dispatch
