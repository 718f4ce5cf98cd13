#pragma once

// The process-wide text log of the plug-in and the re-enumeration daemon. Real-time code never
// calls it: it posts to LogThread instead.
//
// Callers test the threshold themselves, through TIDE_LOG, so a filtered message costs one
// comparison and no formatting.

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Log {

enum Level : int32_t
{
    All = 0,
    Debug = 1,
    Info = 2,
    Notice = 3,
    Warn = 4,
    Error = 5,
    Fatal = 6,
    None = 7,
};

// A message of level L is written only while the threshold is at most L.
void SetLevel(Level level);
// "all", "debug", "info", "notice", "warn", "error", "fatal" or "none"; anything else is "all".
Level ToLevel(const char* name);
// Prefix each line with the milliseconds since the process loaded.
void SetVerbose(bool verbose);
// Wrap the level tags in colour escapes (stream sink only).
void UseColor(bool color);
// Every later line goes to syslog under this identity, at LOG_ERR whatever its level.
void UseSyslog(const char* identity);
// Every later line is appended to this file; standard output when it cannot be opened.
void SetLogfile(const char* path);

namespace details {

extern int32_t g_runtime_level;
extern bool gUseSyslog;
// The stream sink; null stands for standard output.
extern FILE* gFile;
extern std::string gAppName;

// One decorated line: level tag, message, then the file's base name, the line and the function.
void Log(Level level, const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void Log(Level level, const char* file, int line, const char* function, const char* format, va_list arguments)
    __attribute__((format(printf, 5, 0)));
// The caller's text as it stands, without decoration.
void Log(Level level, const char* format, va_list arguments) __attribute__((format(printf, 2, 0)));

} // namespace details

// Logs "->signature" when created and "<-signature" when its scope is left, at level 2.
class ScopeTrace
{
public:
    ScopeTrace(const char* signature, const char* file, int line);
    ~ScopeTrace();
    ScopeTrace(const ScopeTrace&) = delete;
    ScopeTrace& operator=(const ScopeTrace&) = delete;

private:
    const char* fSignature;
    const char* fFile;
    int fLine;
};

} // namespace Log

// Straight to syslog, whatever the sink and the threshold.
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));

#define TIDE_LOG(level, ...)                                                                                 \
    do {                                                                                                     \
        if (::Log::details::g_runtime_level <= (level)) {                                                    \
            ::Log::details::Log((level), __FILE__, __LINE__, "", __VA_ARGS__);                               \
        }                                                                                                    \
    } while (0)

#define TIDE_LOG_SCOPE() ::Log::ScopeTrace tideScopeTrace(__PRETTY_FUNCTION__, __FILE__, __LINE__)
