#pragma once

#include <thread>

namespace Dispatch {

// Whether the caller is the process's initial thread.
bool isMainThread();

// The initial thread's id, or an empty id when this library was loaded on another thread.
std::thread::id mainThreadId();

} // namespace Dispatch
