#include "Creation.h"
#include "QueueState.h"

#include <Darwin/RealTimeClass.h>
#include <os/log.h>

#include <cstdlib>

using DriverKitPlatform::QueueNode;
using DriverKitPlatform::QueueState;

namespace DriverKitPlatform {

namespace {

constexpr int kNodeBatch = 32;

} // namespace

QueueNode* QueueState::takeNode()
{
    // Grown by a batch, so that a burst of work does not allocate once a driver runs.
    if (pool == nullptr) {
        for (int i = 0; i < kNodeBatch; ++i) {
            auto* fresh = new QueueNode;
            fresh->next = pool;
            pool = fresh;
        }
    }
    QueueNode* node = pool;
    pool = node->next;
    node->next = nullptr;
    return node;
}

void QueueState::push(QueueNode* node)
{
    // On the manual clock an advance waits until the queue has run what was handed to it.
    if (DarwinClock::isManual()) {
        node->activity = DarwinClock::Activity(name.c_str(), threadId);
    }
    if (tail != nullptr) {
        tail->next = node;
    } else {
        head = node;
    }
    tail = node;
    // Under the lock: once it is released, the work may free the queue.
    if (sleeping) {
        wake.notify_one();
    }
}

bool enqueueDelivery(IODispatchQueue* queue, OSAction* action, const OSAction::Arguments& arguments,
                     void (*after)(void*), void* afterContext)
{
    QueueState& state = queue->platformState();
    {
        std::lock_guard lock(state.lock);
        if (!state.cancelled) {
            QueueNode* node = state.takeNode();
            node->kind = QueueNode::Kind::Delivery;
            action->retain();
            node->action = action;
            node->arguments = arguments;
            node->after = after;
            node->afterContext = afterContext;
            state.push(node);
            return true;
        }
    }
    return false;
}

namespace {

void run(QueueNode* node)
{
    switch (node->kind) {
    case QueueNode::Kind::Block:
    case QueueNode::Kind::Cancel:
        if (node->block) {
            node->block();
        }
        node->block = nullptr;
        break;
    case QueueNode::Kind::Sync:
        node->invoke(node->callable);
        break;
    case QueueNode::Kind::Delivery:
        if (!node->action->cancelled()) {
            node->action->invoke(node->arguments);
        }
        node->action->release();
        node->action = nullptr;
        if (node->after != nullptr) {
            node->after(node->afterContext);
        }
        break;
    }
}

void freeState(QueueState* state)
{
    while (QueueNode* node = state->pool) {
        state->pool = node->next;
        delete node;
    }
    delete state;
}

// Runs one node; false once the queue has run its cancel handler.
bool serveNode(QueueState* state, QueueNode* node)
{
    run(node);
    node->activity.end();
    if (node->kind == QueueNode::Kind::Sync) {
        {
            std::lock_guard lock(state->lock);
            *node->done = true;
        }
        state->done.notify_all();
    }
    return node->kind != QueueNode::Kind::Cancel;
}

// Takes everything queued at once and runs it without the lock, so that those who queue seldom find
// the lock held; the nodes go back to the pool together.
void serveNodes(QueueState* state)
{
    std::unique_lock lock(state->lock);
    for (;;) {
        while (state->head == nullptr && !state->stopping) {
            state->sleeping = true;
            state->wake.wait(lock);
            state->sleeping = false;
        }
        QueueNode* batch = state->head;
        if (batch == nullptr) {
            return;
        }
        state->head = nullptr;
        state->tail = nullptr;
        lock.unlock();
        // Nothing is queued after a cancel, so its node ends the batch.
        bool open = true;
        QueueNode* last = batch;
        for (QueueNode* node = batch; node != nullptr; node = node->next) {
            open = serveNode(state, node);
            last = node;
        }
        lock.lock();
        last->next = state->pool;
        state->pool = batch;
        if (!open) {
            return;
        }
    }
}

void serve(QueueState* state)
{
    if (DarwinRealTime::forDriverThreads()) {
        DarwinRealTime::enter(DarwinRealTime::kDriverLevel);
    }
    serveNodes(state);
    bool detached;
    {
        std::lock_guard lock(state->lock);
        detached = state->detached;
    }
    if (detached) {
        freeState(state);
    }
}

} // namespace

} // namespace DriverKitPlatform

kern_return_t IODispatchQueue::Create(const char* name, uint64_t, uint64_t, IODispatchQueue** queue)
{
    if (queue == nullptr) {
        return kIOReturnBadArgument;
    }
    if (DriverKitPlatform::creationFails()) {
        return kIOReturnNoMemory;
    }
    auto* created = new IODispatchQueue;
    created->fState = new QueueState(name);
    created->fState->thread = std::thread(DriverKitPlatform::serve, created->fState);
    created->fState->threadId = created->fState->thread.get_id();
    *queue = created;
    return kIOReturnSuccess;
}

kern_return_t IODispatchQueue::dispatchSync(void* callable, void (*invoke)(void*), const char* file, int line)
{
    if (OnQueue()) {
        os_log_fault(OS_LOG_DEFAULT,
                     "DispatchSync onto the queue '%s' it runs on, at %s:%d, would wait forever",
                     fState->name.c_str(), file, line);
        std::abort();
    }
    bool done = false;
    std::unique_lock lock(fState->lock);
    if (fState->cancelled) {
        return kIOReturnAborted;
    }
    QueueNode* node = fState->takeNode();
    node->kind = QueueNode::Kind::Sync;
    node->callable = callable;
    node->invoke = invoke;
    node->done = &done;
    fState->push(node);
    fState->done.wait(lock, [&] { return done; });
    return kIOReturnSuccess;
}

void IODispatchQueue::DispatchAsync(IODispatchBlock block)
{
    std::lock_guard lock(fState->lock);
    if (fState->cancelled) {
        return;
    }
    QueueNode* node = fState->takeNode();
    node->kind = QueueNode::Kind::Block;
    node->block = std::move(block);
    fState->push(node);
}

bool IODispatchQueue::OnQueue()
{
    return std::this_thread::get_id() == fState->threadId;
}

kern_return_t IODispatchQueue::Cancel(IODispatchQueueCancelHandler handler)
{
    std::lock_guard lock(fState->lock);
    if (fState->cancelled) {
        return kIOReturnAborted;
    }
    fState->cancelled = true;
    QueueNode* node = fState->takeNode();
    node->kind = QueueNode::Kind::Cancel;
    node->block = std::move(handler);
    fState->push(node);
    return kIOReturnSuccess;
}

const char* IODispatchQueue::GetName() const
{
    return fState->name.c_str();
}

void IODispatchQueue::free()
{
    {
        std::lock_guard lock(fState->lock);
        fState->stopping = true;
        fState->wake.notify_all();
    }
    // The last reference may go on the queue's own thread (a block releasing it); that thread then
    // finishes the block and frees the state itself.
    if (OnQueue()) {
        std::lock_guard lock(fState->lock);
        fState->detached = true;
        fState->thread.detach();
    } else {
        fState->thread.join();
        DriverKitPlatform::freeState(fState);
    }
    fState = nullptr;
    OSObject::free();
}
