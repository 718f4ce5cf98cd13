#include "RunLoop.h"

#include <string>
#include <unistd.h>
#include <utility>

namespace CFPlatform {

namespace {

// The calling thread's reference to its loop, dropped when the thread ends. Keyed by thread-local
// storage: Linux reuses a pthread_t as soon as its thread is joined.
struct ThreadLoop
{
    RunLoop* fLoop = nullptr;

    ~ThreadLoop()
    {
        if (RunLoop* loop = std::exchange(fLoop, nullptr)) {
            loop->threadEnded();
            loop->release();
        }
    }
};

thread_local ThreadLoop tThreadLoop;

bool isInitialThread()
{
    return gettid() == getpid();
}

} // namespace

RunLoop& RunLoop::main()
{
    // One reference is held for the life of the process, so CFRunLoopGetMain always answers.
    static RunLoop* const sMain = new RunLoop(true, "main run loop");
    return *sMain;
}

RunLoop& RunLoop::current()
{
    ThreadLoop& slot = tThreadLoop;
    if (!slot.fLoop) {
        if (isInitialThread()) {
            RunLoop& loop = main();
            loop.retain();
            slot.fLoop = &loop;
        } else {
            slot.fLoop = new RunLoop(false, "run loop of thread " + std::to_string(gettid()));
        }
    }
    return *slot.fLoop;
}

} // namespace CFPlatform
