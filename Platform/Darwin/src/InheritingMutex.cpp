#include <Darwin/InheritingMutex.h>

#include <cstdlib>

namespace DarwinRealTime {

InheritingMutex::InheritingMutex()
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    if (pthread_mutex_init(&fMutex, &attributes) != 0) {
        std::abort();
    }
    pthread_mutexattr_destroy(&attributes);
}

InheritingMutex::~InheritingMutex()
{
    pthread_mutex_destroy(&fMutex);
}

void InheritingMutex::lock()
{
    if (pthread_mutex_lock(&fMutex) != 0) {
        std::abort();
    }
}

bool InheritingMutex::try_lock()
{
    return pthread_mutex_trylock(&fMutex) == 0;
}

void InheritingMutex::unlock()
{
    pthread_mutex_unlock(&fMutex);
}

} // namespace DarwinRealTime
