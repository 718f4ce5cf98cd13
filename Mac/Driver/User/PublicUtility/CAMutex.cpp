#include "CAMutex.h"

#include "Log.h"

#include <system_error>

CAMutex::CAMutex(const char* name) : fName(name) {}

void CAMutex::Lock()
{
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
