#pragma once

// A queue's thread and its list of work. Nodes come from the queue's own pool, so queueing
// allocates nothing once the pool has grown to what the queue needs.

#include <DriverKit/IODispatchQueue.h>
#include <DriverKit/OSAction.h>

#include <Darwin/Clock.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace DriverKitPlatform {

struct QueueNode
{
    enum class Kind
    {
        Block,
        Sync,
        Delivery,
        Cancel,
    };

    QueueNode* next = nullptr;
    Kind kind = Kind::Block;
    IODispatchBlock block;
    void* callable = nullptr;
    void (*invoke)(void*) = nullptr;
    // Set, with the queue's lock held, once a synchronous block has run.
    bool* done = nullptr;
    OSAction* action = nullptr;
    OSAction::Arguments arguments;
    // Runs after a delivery, whether its handler ran or not.
    void (*after)(void*) = nullptr;
    void* afterContext = nullptr;
    DarwinClock::Activity activity;
};

struct QueueState
{
    explicit QueueState(const char* queueName) : name(queueName ? queueName : "") {}

    std::string name;
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable done;
    QueueNode* head = nullptr;
    QueueNode* tail = nullptr;
    QueueNode* pool = nullptr;
    bool cancelled = false;
    bool stopping = false;
    // The thread waits on `wake`; only then does queueing notify it.
    bool sleeping = false;
    // Released on its own thread: the thread frees the state when it ends.
    bool detached = false;
    std::thread thread;
    std::thread::id threadId;

    // With the lock held.
    QueueNode* takeNode();
    void push(QueueNode* node);
};

// Queues a delivery of `action` on `queue`, whose `after` runs on the queue once it is done. False when
// the queue takes no more work; `after` is then the caller's to run.
bool enqueueDelivery(IODispatchQueue* queue, OSAction* action, const OSAction::Arguments& arguments,
                     void (*after)(void*), void* afterContext);

} // namespace DriverKitPlatform
