#include "WorkLoop.h"
#include "WorkLoopRunLock.h"

WORKLOOP_NAMESPACE_BEGIN

WorkLoopItem::WorkLoopItem() : fRunLock(std::make_shared<WorkLoopRunLock>()) {}

WorkLoopItem::~WorkLoopItem() = default;

void WorkLoopItem::Init(Callback callback, void* userData)
{
    fCallback = callback;
    fUserData = userData;
}

void WorkLoopItem::WaitForRunToComplete()
{
    fRunLock->WaitForRun();
}

WorkItem::~WorkItem()
{
    DeQueue();
}

void WorkItem::Init(WorkLoop* workLoop, Callback callback, void* userData)
{
    fWorkLoop = workLoop;
    WorkLoopItem::Init(callback, userData);
}

void WorkItem::Queue()
{
    if (fWorkLoop) {
        fWorkLoop->AddWorkItem(this);
    }
}

void WorkItem::DeQueue()
{
    if (fWorkLoop) {
        fWorkLoop->RemoveItem(this);
    }
}

void WorkItem::Detach()
{
    DeQueue();
    fWorkLoop = nullptr;
}

#ifndef WORKLOOP_PLUGIN_BUILD
bool CppWorkItem::DoFunc(WorkLoopItem*, void* userData)
{
    return static_cast<CppWorkItem*>(userData)->fFunc();
}
#endif

WORKLOOP_NAMESPACE_END
