// openlog, closelog, syslog and vsyslog of the executable: a test capture takes the messages, and
// otherwise the calls go on to the C library, so nothing is lost without a capture.

#include <Darwin/Log.h>

#include <dlfcn.h>
#include <syslog.h>

#include <cstdarg>

namespace {

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void forwardVsyslog(int priority, const char* format, va_list arguments)
{
    static auto real = next<void (*)(int, const char*, va_list)>("vsyslog");
    if (real) {
        real(priority, format, arguments);
    }
}

} // namespace

extern "C" {

void openlog(const char* identity, int option, int facility)
{
    static auto real = next<void (*)(const char*, int, int)>("openlog");
    DarwinLog::rememberOpenlog(identity, option, facility);
    if (real) {
        real(identity, option, facility);
    }
}

void closelog(void)
{
    static auto real = next<void (*)()>("closelog");
    DarwinLog::forgetOpenlog();
    if (real) {
        real();
    }
}

void vsyslog(int priority, const char* format, va_list arguments)
{
    if (!DarwinLog::captureSyslog(priority, format, arguments)) {
        forwardVsyslog(priority, format, arguments);
    }
}

void syslog(int priority, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vsyslog(priority, format, arguments);
    va_end(arguments);
}
}
