// Creating serial queues, their references and labels, and posting blocks to them.

#include "CurrentQueue.h"
#include "Fatal.h"
#include "Queue.h"
#include "Work.h"

#include <dispatch/dispatch.h>

using Dispatch::Work;

struct dispatch_queue_attr_s
{};

dispatch_queue_attr_s gDispatchQueueConcurrentAttribute;

namespace {

void syncWork(dispatch_queue_t queue, Work& work, const char* call)
{
    Dispatch::requireQueue(queue, call);
    if (Dispatch::runsOn(queue)) {
        Dispatch::fatal(call, std::string("called on queue \"") + queue->label() +
                                  "\" from a block that queue is running; it would wait forever");
    }
    Dispatch::SyncCompletion completion;
    work.caller = Dispatch::currentFrame();
    work.completion = &completion;
    queue->push(&work);
    completion.wait();
}

} // namespace

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr)
{
    if (attr != DISPATCH_QUEUE_SERIAL) {
        Dispatch::fatal("dispatch_queue_create", std::string("queue \"") + (label != nullptr ? label : "") +
                                                     "\" asks for an attribute other than serial, and only "
                                                     "serial queues exist");
    }
    return new dispatch_queue_s(label, false);
}

const char* dispatch_queue_get_label(dispatch_queue_t queue)
{
    if (queue != DISPATCH_CURRENT_QUEUE_LABEL) {
        return queue->label();
    }
    const Dispatch::Frame* frame = Dispatch::currentFrame();
    return frame != nullptr ? frame->queue->label() : "";
}

void dispatch_retain(dispatch_queue_t queue)
{
    Dispatch::requireQueue(queue, "dispatch_retain");
    queue->retain();
}

void dispatch_release(dispatch_queue_t queue)
{
    Dispatch::requireQueue(queue, "dispatch_release");
    queue->release();
}

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block)
{
    Dispatch::requireQueue(queue, "dispatch_async");
    queue->push(new Work(std::move(block)));
}

void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work)
{
    Dispatch::requireQueue(queue, "dispatch_async_f");
    queue->push(new Work(context, work));
}

void dispatch_sync(dispatch_queue_t queue, dispatch_block_t block)
{
    Work work(std::move(block));
    syncWork(queue, work, "dispatch_sync");
}

void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t function)
{
    Work work(context, function);
    syncWork(queue, work, "dispatch_sync_f");
}
