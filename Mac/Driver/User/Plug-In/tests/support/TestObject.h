#pragma once

// An object of the map for the entry and object-model tests: what it throws from its property
// calls can be chosen, and its destruction is recorded (and can be held up).

#include "SA_Object.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace PlugInTesting {

class TestObject : public SA_Object
{
public:
    explicit TestObject(AudioObjectID objectID, std::atomic<int>* destroyed = nullptr)
        : SA_Object(objectID, kAudioObjectClassID, kAudioObjectClassID, kAudioObjectPlugInObject),
          fDestroyed(destroyed)
    {}

    ~TestObject() override
    {
        if (fBeforeDestruction) {
            fBeforeDestruction();
        }
        if (fDestroyed != nullptr) {
            ++*fDestroyed;
        }
    }

    void GetPropertyData(AudioObjectID objectID, pid_t clientPID, const AudioObjectPropertyAddress& address,
                         UInt32 qualifierSize, const void* qualifier, UInt32 inDataSize, UInt32& outDataSize,
                         void* outData) override
    {
        if (fThrow) {
            fThrow();
        }
        SA_Object::GetPropertyData(objectID, clientPID, address, qualifierSize, qualifier, inDataSize,
                                   outDataSize, outData);
    }

    // Called from GetPropertyData before it answers.
    std::function<void()> fThrow;
    // Called from the destructor.
    std::function<void()> fBeforeDestruction;

private:
    std::atomic<int>* fDestroyed;
};

// A gate that holds up whoever waits until it is opened.
class Gate
{
public:
    void open()
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fOpen = true;
        fChanged.notify_all();
    }

    void wait()
    {
        std::unique_lock<std::mutex> lock(fMutex);
        fChanged.wait(lock, [this] { return fOpen; });
    }

private:
    std::mutex fMutex;
    std::condition_variable fChanged;
    bool fOpen = false;
};

} // namespace PlugInTesting
