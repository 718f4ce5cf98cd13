#include "LogFormat.h"
#include "LogSink.h"

#include <Darwin/Log.h>

#include <syslog.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace {

struct OpenlogState
{
    std::mutex fLock;
    // The C library keeps the caller's pointer, and so does this.
    const char* fIdentity = nullptr;
    int fOption = 0;
    int fFacility = LOG_USER;
};

OpenlogState& openlogState()
{
    static auto* state = new OpenlogState;
    return *state;
}

} // namespace

void DarwinLog::rememberOpenlog(const char* identity, int option, int facility)
{
    OpenlogState& state = openlogState();
    std::lock_guard lock(state.fLock);
    state.fIdentity = identity;
    state.fOption = option;
    if (facility != 0 && (facility & ~LOG_FACMASK) == 0) {
        state.fFacility = facility;
    }
}

void DarwinLog::forgetOpenlog()
{
    OpenlogState& state = openlogState();
    std::lock_guard lock(state.fLock);
    state.fIdentity = nullptr;
    state.fOption = 0;
    state.fFacility = LOG_USER;
}

bool DarwinLog::captureSyslog(int priority, const char* format, va_list arguments)
{
    // "%m" expands to the error of the caller, not to one this layer caused meanwhile.
    int callerError = errno;
    return capture([&] {
        Record record{Source::Syslog, {}};
        {
            OpenlogState& state = openlogState();
            std::lock_guard lock(state.fLock);
            record.fIdentity = state.fIdentity ? state.fIdentity : programName();
            record.fOption = state.fOption;
            record.fFacility = (priority & LOG_FACMASK) ? (priority & LOG_FACMASK) : state.fFacility;
        }
        record.fPriority = LOG_PRI(priority);
        errno = callerError;
        record.fText = format ? formatted(format, arguments) : std::string();
        return record;
    });
}
