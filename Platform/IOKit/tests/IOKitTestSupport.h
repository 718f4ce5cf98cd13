#pragma once

// Helpers for the IOKit suites: services that terminate with the test, CF values, and a recorder
// of matching callbacks.

#include <DarwinTesting/Eventually.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/platform/Registry.h>
#include <IOKitTesting/Services.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace IOKitTestSupport {

using Entry = std::shared_ptr<IOKitPlatform::RegistryEntry>;

// Owns one CF reference.
template <typename T>
class CFHolder
{
public:
    explicit CFHolder(T value = nullptr) : fValue(value) {}
    ~CFHolder()
    {
        if (fValue != nullptr) {
            CFRelease(fValue);
        }
    }
    CFHolder(const CFHolder&) = delete;
    CFHolder& operator=(const CFHolder&) = delete;

    T get() const { return fValue; }

private:
    T fValue;
};

inline CFHolder<CFStringRef> cfString(const char* text)
{
    return CFHolder<CFStringRef>(CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8));
}

inline CFHolder<CFNumberRef> cfNumber(SInt64 value)
{
    return CFHolder<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberSInt64Type, &value));
}

// A dictionary of string keys and CF values, for properties and matching.
inline CFMutableDictionaryRef dictionaryWith(CFMutableDictionaryRef dictionary, const char* key,
                                             CFTypeRef value)
{
    auto name = cfString(key);
    CFDictionarySetValue(dictionary, name.get(), value);
    return dictionary;
}

inline CFMutableDictionaryRef emptyDictionary()
{
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

inline std::string nameOf(io_registry_entry_t entry)
{
    io_name_t name{};
    return IORegistryEntryGetName(entry, name) == kIOReturnSuccess ? name : "<invalid>";
}

// The names of what the iterator hands out, releasing each object.
inline std::vector<std::string> drainNames(io_iterator_t iterator)
{
    std::vector<std::string> names;
    while (io_object_t object = IOIteratorNext(iterator)) {
        names.push_back(nameOf(object));
        IOObjectRelease(object);
    }
    return names;
}

// Services created for one test, terminated when it ends so tests can share a process.
class Services
{
public:
    ~Services()
    {
        for (const Entry& entry : fEntries) {
            entry->terminate();
        }
    }

    Entry create(std::vector<std::string> classChain, const std::string& name,
                 CFDictionaryRef properties = nullptr)
    {
        Entry entry = IOKitPlatform::RegistryEntry::create(std::move(classChain), name, properties);
        fEntries.push_back(entry);
        return entry;
    }

    Entry publish(std::vector<std::string> classChain, const std::string& name,
                  CFDictionaryRef properties = nullptr)
    {
        Entry entry = create(std::move(classChain), name, properties);
        entry->registerService();
        return entry;
    }

private:
    std::vector<Entry> fEntries;
};

// Records each matching callback: the names it drained (or none when told not to drain), the thread
// it ran on, and its place among the calls of every recorder.
class MatchingRecorder
{
public:
    struct Call
    {
        std::string fLabel;
        std::vector<std::string> fNames;
        std::thread::id fThread;
        int fSequence;
    };

    explicit MatchingRecorder(std::string label, bool drains = true)
        : fLabel(std::move(label)), fDrains(drains)
    {}

    static void callback(void* refCon, io_iterator_t iterator)
    {
        auto* self = static_cast<MatchingRecorder*>(refCon);
        Call call{self->fLabel, {}, std::this_thread::get_id(), sSequence.fetch_add(1)};
        if (self->fDrains.load()) {
            call.fNames = drainNames(iterator);
        }
        std::lock_guard lock(self->fLock);
        self->fCalls.push_back(std::move(call));
    }

    std::vector<Call> calls()
    {
        std::lock_guard lock(fLock);
        return fCalls;
    }

    std::vector<std::string> names()
    {
        std::vector<std::string> all;
        for (const Call& call : calls()) {
            all.insert(all.end(), call.fNames.begin(), call.fNames.end());
        }
        return all;
    }

    void setDrains(bool drains) { fDrains.store(drains); }

private:
    static inline std::atomic<int> sSequence{0};
    const std::string fLabel;
    std::atomic<bool> fDrains;
    std::mutex fLock;
    std::vector<Call> fCalls;
};

// A thread that runs its own loop until destroyed. `setUp` runs on it first (adding sources, say);
// a far timer keeps the default mode from running empty.
class LoopThread
{
public:
    explicit LoopThread(std::function<void()> setUp = {})
    {
        std::promise<CFRunLoopRef> started;
        fThread = std::thread([this, &started, setUp = std::move(setUp)] {
            CFRunLoopTimerRef keeper = CFRunLoopTimerCreate(
                nullptr, CFAbsoluteTimeGetCurrent() + 1e9, 0, 0, 0, [](CFRunLoopTimerRef, void*) {}, nullptr);
            CFRunLoopAddTimer(CFRunLoopGetCurrent(), keeper, kCFRunLoopDefaultMode);
            if (setUp) {
                setUp();
            }
            started.set_value(CFRunLoopGetCurrent());
            while (!fQuit.load()) {
                CFRunLoopRun();
            }
            CFRunLoopTimerInvalidate(keeper);
            CFRelease(keeper);
        });
        // Held here: the thread may end, and give up its loop, before the wake-up below is sent.
        fLoop = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(started.get_future().get())));
        fId = fThread.get_id();
    }

    ~LoopThread()
    {
        fQuit.store(true);
        // Runs inside a run of the loop, so the stop cannot come before the run begins.
        CFRunLoopPerformBlock(fLoop, kCFRunLoopDefaultMode, [] { CFRunLoopStop(CFRunLoopGetCurrent()); });
        CFRunLoopWakeUp(fLoop);
        fThread.join();
        CFRelease(fLoop);
    }

    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    std::thread::id id() const { return fId; }

private:
    std::atomic<bool> fQuit{false};
    CFRunLoopRef fLoop = nullptr;
    std::thread fThread;
    std::thread::id fId;
};

// Yields until the condition holds; fails the test when it does not come within the poll limit.
template <typename Condition>
void waitFor(Condition condition)
{
    EXPECT_TRUE(DarwinTesting::eventually(condition)) << "the awaited state never came";
}

} // namespace IOKitTestSupport
