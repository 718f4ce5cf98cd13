#include "Log.h"

#include <boost/assert.hpp>

#include <chrono>
#include <cstring>
#include <syslog.h>

namespace Log {
namespace details {

int32_t g_runtime_level = All;
bool gUseSyslog = false;
FILE* gFile = nullptr;
std::string gAppName;

} // namespace details

namespace {

// Messages are expanded on their own before they are decorated, so no text of the caller is ever
// read as a format.
constexpr std::size_t kMessageBytes = 4096;
constexpr std::size_t kLineBytes = kMessageBytes + 1024;

bool sVerbose = false;
bool sColor = false;
const auto sStartTime = std::chrono::steady_clock::now();

struct Decoration
{
    const char* fColor = "";
    const char* fTag = "";
    const char* fReset = "";
    const char* fBold = "";
};

const char* tagOf(Level level)
{
    static const char* const kTags[] = {"OTHER:", "DEBUG:", "INFO: ", "NOTE: ", "WARN: ", "ERROR:", "FATAL:"};
    return level >= Debug && level <= Fatal ? kTags[level] : "OTHER:";
}

const char* colorOf(Level level)
{
    switch (level) {
    case Warn:
        return "\33[22;33m";
    case Error:
        return "\33[22;31m";
    case Fatal:
        return "\33[1;31m";
    default:
        return "";
    }
}

Decoration decorationOf(Level level)
{
    Decoration decoration;
    if (details::gUseSyslog) {
        return decoration;
    }
    decoration.fTag = tagOf(level);
    if (sColor) {
        decoration.fColor = colorOf(level);
        decoration.fBold = "\33[1m";
        decoration.fReset = "\33[0m";
    }
    return decoration;
}

// The text after the last '/' that has at least one character after it.
const char* baseName(const char* path)
{
    const char* base = path;
    for (const char* c = path; c[0] && c[1]; ++c) {
        if (*c == '/') {
            base = c + 1;
        }
    }
    return base;
}

FILE* stream()
{
    return details::gFile ? details::gFile : stdout;
}

void write(const char* text)
{
    if (details::gUseSyslog) {
        syslog(LOG_ERR, "%s", text);
        return;
    }
    std::fputs(text, stream());
    std::fflush(stream());
}

} // namespace

void SetLevel(Level level)
{
    details::g_runtime_level = level;
}

Level ToLevel(const char* name)
{
    static const char* const kNames[] = {"all", "debug", "info", "notice", "warn", "error", "fatal", "none"};
    for (int32_t level = All; level <= None; ++level) {
        if (std::strcmp(name, kNames[level]) == 0) {
            return Level(level);
        }
    }
    TIDE_LOG(Warn, "unknown log level %s", name);
    return All;
}

void SetVerbose(bool verbose)
{
    sVerbose = verbose;
}

void UseColor(bool color)
{
    sColor = color;
}

void UseSyslog(const char* identity)
{
    details::gAppName = identity;
    details::gUseSyslog = true;
    openlog(details::gAppName.c_str(), LOG_CONS, LOG_USER);
}

void SetLogfile(const char* path)
{
    FILE* file = std::fopen(path, "a");
    if (!file) {
        details::gFile = nullptr;
        return;
    }
    std::printf("Logging to %s\n", path);
    std::fputs("*********************************\n", file);
    std::fflush(file);
    details::gFile = file;
}

namespace details {

void Log(Level level, const char* file, int line, const char* function, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Log(level, file, line, function, format, arguments);
    va_end(arguments);
}

void Log(Level level, const char* file, int line, const char* function, const char* format, va_list arguments)
{
    char message[kMessageBytes];
    std::vsnprintf(message, sizeof message, format, arguments);
    const Decoration d = decorationOf(level);
    char text[kLineBytes];
    if (sVerbose) {
        const auto elapsed = std::chrono::steady_clock::now() - sStartTime;
        const int milliseconds = int(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
        std::snprintf(text, sizeof text, "%s%s%s %6d ms %s%s%s (%s:%d %s)\n", d.fColor, d.fTag, d.fReset,
                      milliseconds, d.fBold, message, d.fReset, baseName(file), line, function);
    } else {
        std::snprintf(text, sizeof text, "%s%s%s %s%s%s (%s:%d %s)\n", d.fColor, d.fTag, d.fReset, d.fBold,
                      message, d.fReset, baseName(file), line, function);
    }
    write(text);
}

void Log(Level, const char* format, va_list arguments)
{
    if (gUseSyslog) {
        vsyslog(LOG_ERR, format, arguments);
        return;
    }
    std::vfprintf(stream(), format, arguments);
    std::fflush(stream());
}

} // namespace details

ScopeTrace::ScopeTrace(const char* signature, const char* file, int line)
    : fSignature(signature), fFile(file), fLine(line)
{
    if (details::g_runtime_level <= Info) {
        details::Log(Info, fFile, fLine, "", "->%s", fSignature);
    }
}

ScopeTrace::~ScopeTrace()
{
    if (details::g_runtime_level <= Info) {
        details::Log(Info, fFile, fLine, "", "<-%s", fSignature);
    }
}

} // namespace Log

void LogError(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vsyslog(LOG_ERR, format, arguments);
    va_end(arguments);
}

void LogWarning(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vsyslog(LOG_WARNING, format, arguments);
    va_end(arguments);
}

// Boost's assertion macros report here and execution goes on. They are written whatever the
// threshold.
namespace boost {

void assertion_failed(char const* expr, char const* function, char const* file, long line)
{
    char text[1024];
    std::snprintf(text, sizeof text, "BOOST_ASSERT(%s)", expr);
    Log::details::Log(Log::Error, file, int(line), function, "%s", text);
}

void assertion_failed_msg(char const* expr, char const* msg, char const* function, char const* file,
                          long line)
{
    char text[1024];
    std::snprintf(text, sizeof text, "BOOST_ASSERT(%s) %s", expr, msg);
    Log::details::Log(Log::Error, file, int(line), function, "%s", text);
}

} // namespace boost
