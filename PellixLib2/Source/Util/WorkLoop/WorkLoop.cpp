#include "WorkLoopImpl.h"

WORKLOOP_NAMESPACE_BEGIN

WorkLoop::WorkLoop() : fImpl(GetThreadLocalWorkLoop()) {}

#ifndef WORKLOOP_PLUGIN_BUILD
WorkLoop::WorkLoop(CFRunLoopRef runLoop) : fImpl(Impl::CreateForRunLoop(runLoop)) {}
#endif

WorkLoop::~WorkLoop() = default;

std::shared_ptr<WorkLoop::Impl> WorkLoop::GetThreadLocalWorkLoop()
{
    // Per thread rather than by thread id: a new thread never finds a finished thread's loop.
    thread_local std::weak_ptr<Impl> tLoop;
    if (std::shared_ptr<Impl> impl = tLoop.lock()) {
        return impl;
    }
    std::shared_ptr<Impl> impl = Impl::CreateForCurrentThread();
    tLoop = impl;
    return impl;
}

#ifndef WORKLOOP_PLUGIN_BUILD
bool WorkLoop::setRunLoop(CFRunLoopRef runLoop)
{
    return fImpl->setRunLoop(runLoop);
}
#endif

void WorkLoop::AddTimer(WorkLoopTimer* timer, unsigned int ms, bool repeat)
{
    fImpl->AddTimer(timer, ms, repeat);
}

void WorkLoop::AddWorkItem(WorkItem* item)
{
    fImpl->AddWorkItem(item);
}

void WorkLoop::RemoveItem(WorkLoopItem* item)
{
    fImpl->RemoveItem(item);
}

void WorkLoop::Run()
{
    fImpl->Run();
}

void WorkLoop::Stop()
{
    fImpl->Stop();
}

#ifndef WORKLOOP_PLUGIN_BUILD
void WorkLoop::runTaskSync(std::function<void()> func)
{
    Impl::RunTaskSync(fImpl, std::move(func));
}

void WorkLoop::runTaskAsync(std::function<void()> func)
{
    fImpl->RunTaskAsync(std::move(func));
}
#endif

WORKLOOP_NAMESPACE_END
