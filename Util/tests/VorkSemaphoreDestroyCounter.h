#pragma once

// The test binary puts its own semaphore_destroy in front of the Darwin layer's, so that tests can
// count the calling thread's destructions. Each call is passed on unchanged.

namespace VorkTesting {

// semaphore_destroy calls made by the calling thread since construction.
class SemaphoreDestroyCounter
{
public:
    SemaphoreDestroyCounter();
    int count() const;

private:
    int fStart;
};

} // namespace VorkTesting
