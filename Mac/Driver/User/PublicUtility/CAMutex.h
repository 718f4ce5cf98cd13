#pragma once

// A named recursive mutex. The name shows in the log line of a lock that fails.

#include <mutex>
#include <string>

class CAMutex
{
public:
    explicit CAMutex(const char* name);
    CAMutex(const CAMutex&) = delete;
    CAMutex& operator=(const CAMutex&) = delete;

    // Throws what the lock threw, after logging "Failed to lock <name>".
    void Lock();
    void Unlock();

    const std::string& GetName() const { return fName; }

    // Holds the mutex for a scope.
    class Locker
    {
    public:
        explicit Locker(CAMutex& mutex);
        ~Locker();
        Locker(const Locker&) = delete;
        Locker& operator=(const Locker&) = delete;

    private:
        CAMutex& fMutex;
    };

private:
    std::string fName;
    std::recursive_mutex fMutex;
};
