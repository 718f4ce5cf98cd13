#pragma once

// What real-time code needs to log without blocking or allocating: the call site as a type (posting
// code is instantiated per call site, so the file's base name and the line cost nothing at run
// time), the posting and assertion macros, and bounded formatting.

#include <cstdarg>
#include <cstddef>
#include <cstdio>

template <std::size_t N>
struct FixedString
{
    char fText[N];

    constexpr FixedString(const char (&text)[N])
    {
        for (std::size_t i = 0; i < N; ++i) {
            fText[i] = text[i];
        }
    }

    // The text after the last '/'.
    constexpr std::size_t baseNameOffset() const
    {
        std::size_t offset = 0;
        for (std::size_t i = 0; i + 1 < N; ++i) {
            if (fText[i] == '/') {
                offset = i + 1;
            }
        }
        return offset;
    }
};

template <FixedString File, int Line>
struct SourceLocation
{
    static constexpr const char* baseName() { return File.fText + File.baseNameOffset(); }
    static constexpr int line() { return Line; }
};

#define TIDE_SOURCE_LOCATION SourceLocation<__FILE__, __LINE__>

// Posts a message through a real-time logger (LogThread, or a logger type standing in for it).
#define LOG_THREAD_POST(logger, ...) (logger)->template PostMessage<TIDE_SOURCE_LOCATION>(__VA_ARGS__)

// Real-time code reports a broken invariant and carries on.
#define LOG_THREAD_ASSERT(logger, condition)                                                                 \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            LOG_THREAD_POST(logger, "ASSERTION FAILURE: %s (%s)\n", #condition, __PRETTY_FUNCTION__);        \
        }                                                                                                    \
    } while (0)

// Formats into a fixed buffer; longer text is cut, as intended. The format comes from the call site
// through the logger's template, so it is handed on as a plain C variadic call: neither compiler then
// second-guesses a format it cannot see. The result is snprintf's: negative when the text could not
// be formatted.
inline int FormatMessageArguments(char* buffer, std::size_t size, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int result = std::vsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    return result;
}

template <class... Args>
int FormatMessage(char* buffer, std::size_t size, const char* format, const Args&... args)
{
    return FormatMessageArguments(buffer, size, format, args...);
}
