#include "MainThread.h"

#include <unistd.h>

namespace Dispatch {
namespace {

// Captured while the library loads, which happens on the initial thread unless it is opened with
// dlopen from another one.
const std::thread::id sMainThreadId = isMainThread() ? std::this_thread::get_id() : std::thread::id();

} // namespace

bool isMainThread()
{
    thread_local const bool tIsMain = gettid() == getpid();
    return tIsMain;
}

std::thread::id mainThreadId()
{
    return sMainThreadId;
}

} // namespace Dispatch
