#pragma once

#include "Thread.h"

#include <pthread.h>

namespace Pellix {

// Sets the scheduling policy of the priority on the thread, logging "SetPriority low failed",
// "SetPriority normal failed" or "SetPriority high failed" when refused; other values change
// nothing.
void SetThreadPriority(pthread_t thread, Thread::ThreadPriority priority);

} // namespace Pellix
