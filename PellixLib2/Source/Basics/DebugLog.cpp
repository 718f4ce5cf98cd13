#include "DebugLog.h"

#include "DebugLogStream.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex gDebugLogLock;
FILE* gDebugLogStream = nullptr;
std::atomic<bool> gAutoNewLine{true};

// Opens the default target when the library is loaded.
struct DefaultDebugLogTarget
{
    DefaultDebugLogTarget() { SetDebugLogTarget("/tmp/pellixlog"); }
} gDefaultDebugLogTarget;

} // namespace

void SetDebugLogTarget(const char* path)
{
    if (!path) {
        return;
    }
    FILE* opened = std::fopen(path, "a");
    // The replaced stream stays open: GetDebugLogStream may have handed it out, and it may be a
    // standard stream.
    std::lock_guard lock(gDebugLogLock);
    gDebugLogStream = opened;
}

void SetAutoNewLine(bool autoNewLine)
{
    gAutoNewLine.store(autoNewLine, std::memory_order_relaxed);
}

bool GetAutoNewLine()
{
    return gAutoNewLine.load(std::memory_order_relaxed);
}

void EnableDebugTimestamps(bool) {}

FILE* Pellix::GetDebugLogStream()
{
    std::lock_guard lock(gDebugLogLock);
    return gDebugLogStream;
}
