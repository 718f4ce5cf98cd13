#include "WorkLoopCore.h"

WORKLOOP_NAMESPACE_BEGIN

WorkLoop::WorkLoop() : fImpl(GetThreadLocalWorkLoop()) {}

#ifndef WORKLOOP_PLUGIN_BUILD
WorkLoop::WorkLoop(CFRunLoopRef runLoop)
    : fImpl(std::make_shared<Impl>(WorkLoopCore::CreateForRunLoop(runLoop)))
{}
#endif

WorkLoop::~WorkLoop() = default;

std::shared_ptr<WorkLoop::Impl> WorkLoop::GetThreadLocalWorkLoop()
{
    // Per thread rather than by thread id: a new thread never finds a finished thread's loop.
    thread_local std::weak_ptr<Impl> tLoop;
    if (std::shared_ptr<Impl> impl = tLoop.lock()) {
        return impl;
    }
    auto impl = std::make_shared<Impl>(WorkLoopCore::CreateForCurrentThread());
    tLoop = impl;
    return impl;
}

#ifndef WORKLOOP_PLUGIN_BUILD
bool WorkLoop::setRunLoop(CFRunLoopRef runLoop)
{
    return fImpl->fCore->setRunLoop(runLoop);
}
#endif

void WorkLoop::AddTimer(WorkLoopTimer* timer, unsigned int ms, bool repeat)
{
    fImpl->fCore->AddTimer(timer, ms, repeat);
}

void WorkLoop::AddWorkItem(WorkItem* item)
{
    fImpl->fCore->AddWorkItem(item);
}

void WorkLoop::RemoveItem(WorkLoopItem* item)
{
    fImpl->fCore->RemoveItem(item);
}

void WorkLoop::Run()
{
    fImpl->fCore->Run();
}

void WorkLoop::Stop()
{
    fImpl->fCore->Stop();
}

#ifndef WORKLOOP_PLUGIN_BUILD
void WorkLoop::runTaskSync(std::function<void()> func)
{
    WorkLoopCore::RunTaskSync(fImpl->fCore, std::move(func));
}

void WorkLoop::runTaskAsync(std::function<void()> func)
{
    fImpl->fCore->RunTaskAsync(std::move(func));
}
#endif

WORKLOOP_NAMESPACE_END
