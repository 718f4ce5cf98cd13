#pragma once

// The work loop: the timers and one-shot work items of one run loop, all driven by a single
// run-loop timer that is re-armed for the earliest due item. Any thread may add and remove items;
// their callbacks run on the thread of the loop's run loop. In the library, other threads may also
// hand functions to that thread.

#include "WorkLoopBuild.h"

#include <CoreFoundation/CFRunLoop.h>

#include <functional>
#include <memory>

WORKLOOP_NAMESPACE_BEGIN

class WorkLoop;
class WorkLoopRunLock;

// One scheduled thing, owned by whoever made it and never by the loop. Remove an item from its
// loop, and wait for a run in progress, before destroying it.
class WorkLoopItem
{
public:
    // The result is not used by the loop. Exceptions are caught and discarded.
    using Callback = bool (*)(WorkLoopItem* item, void* userData);

    WorkLoopItem();
    virtual ~WorkLoopItem();
    WorkLoopItem(const WorkLoopItem&) = delete;
    WorkLoopItem& operator=(const WorkLoopItem&) = delete;

    void Init(Callback callback, void* userData);

    // Returns once a run of the callback in progress has returned; at once from inside it.
    void WaitForRunToComplete();

    // Null: the item is skipped when due.
    Callback fCallback = nullptr;
    void* fUserData = nullptr;
    // When it runs next (seconds of CFAbsoluteTime), and its repeat interval in seconds.
    double fNextFireTime = 0;
    double fInterval = 0;
    bool fRepeat = false;
    // Marks a run of the callback in progress; shared, so that a callback may destroy its own item.
    std::shared_ptr<WorkLoopRunLock> fRunLock;
};

// A timer, added with WorkLoop::AddTimer.
class WorkLoopTimer : public WorkLoopItem
{};

// A one-shot item that knows its loop; its destructor removes it from that loop.
class WorkItem : public WorkLoopItem
{
public:
    WorkItem() = default;
    ~WorkItem() override;

    void Init(WorkLoop* workLoop, Callback callback, void* userData);
    // Lists the item on its loop, to run now; nothing without a loop.
    void Queue();
    // Takes it off its loop's list; nothing without a loop.
    void DeQueue();
    // DeQueue, and forget the loop.
    void Detach();

    WorkLoop* fWorkLoop = nullptr;
};

#ifndef WORKLOOP_PLUGIN_BUILD
// A work item that runs a function: initialise it with DoFunc as callback and itself as user data.
class CppWorkItem : public WorkItem
{
public:
    // Calls fFunc of the CppWorkItem given as user data; an empty fFunc throws
    // std::bad_function_call.
    static bool DoFunc(WorkLoopItem* item, void* userData);

    std::function<bool()> fFunc;
};
#endif

class WorkLoop
{
public:
    class Impl;

    // The calling thread's loop on its run loop, shared by every WorkLoop() of the thread.
    WorkLoop();
#ifndef WORKLOOP_PLUGIN_BUILD
    // A loop of its own on `runLoop` (which may be null). Its items run only between Run() and
    // Stop(), on the thread that runs that run loop.
    explicit WorkLoop(CFRunLoopRef runLoop);
#endif
    virtual ~WorkLoop();
    WorkLoop(const WorkLoop&) = delete;
    WorkLoop& operator=(const WorkLoop&) = delete;

#ifndef WORKLOOP_PLUGIN_BUILD
    // Moves the loop and its items to another run loop (null: none). Waits for runTaskSync calls
    // in progress. False, changing nothing, for a loop bound to its thread.
    bool setRunLoop(CFRunLoopRef runLoop);
#endif

    // Arms the timer to run `ms` milliseconds from now, and then every `ms` when it repeats. A
    // listed timer is re-armed from now.
    void AddTimer(WorkLoopTimer* timer, unsigned int ms, bool repeat);
    // Lists the item to run as soon as possible; a listed item keeps its time.
    void AddWorkItem(WorkItem* item);
    void RemoveItem(WorkLoopItem* item);

    // A loop bound to its thread runs the thread's run loop until stopped. A loop on an explicit
    // run loop only opens the gate for its items, and Stop closes it; its owner runs the run loop.
    void Run();
    void Stop();

#ifndef WORKLOOP_PLUGIN_BUILD
    // Runs `func` on the loop's thread and returns when it has, rethrowing what it threw; on that
    // thread it runs at once. Returns without running it when the loop has no run loop, or is
    // destroyed before it ran.
    void runTaskSync(std::function<void()> func);
    // Runs `func` on the loop's thread later, unless the loop is destroyed first.
    void runTaskAsync(std::function<void()> func);
#endif

    // The calling thread's shared loop, made when no WorkLoop of the thread holds one.
    static std::shared_ptr<Impl> GetThreadLocalWorkLoop();

private:
    std::shared_ptr<Impl> fImpl;
};

WORKLOOP_NAMESPACE_END
