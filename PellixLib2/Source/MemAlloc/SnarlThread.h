#pragma once

// A background thread of the block allocator that runs Implementation() until asked to quit.

#include <atomic>
#include <thread>

class SnarlThread
{
public:
    enum Priority
    {
        kLowest = 0,
        kUnchanged = 1,
        kHighest = 2,
    };

    explicit SnarlThread(Priority priority) : fPriority(priority) {}
    // Asks the thread to quit and waits for it.
    virtual ~SnarlThread();
    SnarlThread(const SnarlThread&) = delete;
    SnarlThread& operator=(const SnarlThread&) = delete;

    // Starts the thread, once per object, at the lowest or highest priority of its scheduling
    // policy. Throws std::system_error "thread constructor failed" when the system refuses it.
    void Run();
    void RequestQuit() { fQuit.exchange(true); }
    void WaitForThread();

protected:
    virtual void Implementation() = 0;
    bool QuitRequested() const { return fQuit.load(); }

private:
    void applyPriority();

    std::thread fThread;
    Priority fPriority;
    std::atomic<bool> fQuit{false};
};
