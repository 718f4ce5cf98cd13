#include "CAMutex.h"

#include "Log.h"

#include <system_error>

namespace {

// Holders keep the mutex for a few hundred nanoseconds at most: waiting that long in a loop is
// cheaper, for the audio server's IO thread above all, than sleeping in the kernel and waking.
constexpr int kSpins = 2000;

inline void Relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace

CAMutex::CAMutex(const char* name) : fName(name) {}

void CAMutex::Lock()
{
    for (int spin = 0; spin < kSpins; ++spin) {
        if (fMutex.try_lock()) {
            return;
        }
        Relax();
    }
    try {
        fMutex.lock();
    } catch (const std::system_error&) {
        TIDE_LOG(Log::Info, "Failed to lock %s", fName.c_str());
        throw;
    }
}

void CAMutex::Unlock()
{
    fMutex.unlock();
}

CAMutex::Locker::Locker(CAMutex& mutex) : fMutex(mutex)
{
    fMutex.Lock();
}

CAMutex::Locker::~Locker()
{
    fMutex.Unlock();
}
