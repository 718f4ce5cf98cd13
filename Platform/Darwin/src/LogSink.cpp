#include "LogSink.h"

#include <Darwin/InheritingMutex.h>

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>

namespace DarwinLog {

namespace {

// Real-time threads log too: an ordinary thread holding the lock must not keep them waiting.
DarwinRealTime::InheritingMutex& sinkLock()
{
    static auto* lock = new DarwinRealTime::InheritingMutex;
    return *lock;
}

CaptureTarget* gCapture = nullptr;

} // namespace

CaptureTarget* exchangeCapture(CaptureTarget* target)
{
    std::lock_guard lock(sinkLock());
    return std::exchange(gCapture, target);
}

bool capture(const std::function<Record()>& make)
{
    std::lock_guard lock(sinkLock());
    if (!gCapture) {
        return false;
    }
    (*gCapture)(make());
    return true;
}

void writeLine(const std::string& line)
{
    int saved = errno;
    for (size_t written = 0; written < line.size();) {
        ssize_t count = write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        written += size_t(count);
    }
    errno = saved;
}

} // namespace DarwinLog
