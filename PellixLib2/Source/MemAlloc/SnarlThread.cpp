#include "MemAlloc/SnarlThread.h"

#include <pthread.h>
#include <sched.h>
#include <system_error>

SnarlThread::~SnarlThread()
{
    RequestQuit();
    WaitForThread();
}

void SnarlThread::Run()
{
    try {
        fThread = std::thread([this] { Implementation(); });
    } catch (const std::system_error& error) {
        throw std::system_error(error.code(), "thread constructor failed");
    }
    applyPriority();
}

void SnarlThread::WaitForThread()
{
    if (fThread.joinable()) {
        fThread.join();
    }
}

void SnarlThread::applyPriority()
{
    int policy = 0;
    sched_param parameters{};
    if (pthread_getschedparam(fThread.native_handle(), &policy, &parameters) != 0) {
        return;
    }
    if (fPriority == kLowest) {
        parameters.sched_priority = sched_get_priority_min(policy);
    } else if (fPriority == kHighest) {
        parameters.sched_priority = sched_get_priority_max(policy);
    }
    pthread_setschedparam(fThread.native_handle(), policy, &parameters);
}
