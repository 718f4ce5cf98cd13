#pragma once

// Serial dispatch queues, the main queue, dispatch_after and dispatch_main.
//
// Blocks are std::function<void()>; the _f forms take a function and its context. Every call may
// be made from any thread. Programming errors the platform traps (a NULL queue, dispatch_sync onto
// the queue the caller runs on, a concurrent attribute, dispatch_main off the main thread) end the
// process with a message naming the call.

#include <cstdint>
#include <functional>

typedef struct dispatch_queue_s* dispatch_queue_t;
typedef struct dispatch_queue_attr_s* dispatch_queue_attr_t;
typedef std::function<void()> dispatch_block_t;
typedef void (*dispatch_function_t)(void*);

// Host time in nanoseconds, as mach_absolute_time.
typedef uint64_t dispatch_time_t;

#define DISPATCH_TIME_NOW (0ull)
#define DISPATCH_TIME_FOREVER (~0ull)

#ifndef NSEC_PER_SEC
#define NSEC_PER_SEC 1000000000ull
#endif
#ifndef NSEC_PER_MSEC
#define NSEC_PER_MSEC 1000000ull
#endif
#ifndef NSEC_PER_USEC
#define NSEC_PER_USEC 1000ull
#endif
#ifndef USEC_PER_SEC
#define USEC_PER_SEC 1000000ull
#endif

// Only serial queues exist; the concurrent attribute is accepted by the compiler and refused at run
// time.
extern struct dispatch_queue_attr_s gDispatchQueueConcurrentAttribute;
#define DISPATCH_QUEUE_SERIAL nullptr
#define DISPATCH_QUEUE_CONCURRENT (&gDispatchQueueConcurrentAttribute)

#define DISPATCH_CURRENT_QUEUE_LABEL nullptr

// A new serial queue with one reference. A NULL label reads back as "".
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);

// The queue's label; DISPATCH_CURRENT_QUEUE_LABEL gives the label of the queue the caller runs on
// ("" outside any queue).
const char* dispatch_queue_get_label(dispatch_queue_t queue);

// The last release of a queue that still holds blocks lets them run first. The main queue is
// never freed.
void dispatch_retain(dispatch_queue_t queue);
void dispatch_release(dispatch_queue_t queue);

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work);

// Runs the block after those already queued and returns once it has run.
void dispatch_sync(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work);

// `when` plus `delta` nanoseconds, saturating; DISPATCH_TIME_NOW reads the clock.
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

// Queues the block when the clock reaches `when`; DISPATCH_TIME_FOREVER never does.
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context, dispatch_function_t work);

// Runs its blocks on the process's initial thread while that thread runs its loop in a common mode
// or inside dispatch_main.
dispatch_queue_t dispatch_get_main_queue();

// Runs the main thread's loop for good. Only a test ends it (DispatchTesting::endDispatchMain).
void dispatch_main();
