#include "LogFormat.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace DarwinLog {

std::string withoutDecorations(const char* format)
{
    std::string result;
    for (const char* at = format; *at;) {
        if (at[0] == '%' && at[1] == '%') {
            result.append(at, 2);
            at += 2;
            continue;
        }
        if (at[0] == '%' && at[1] == '{') {
            const char* close = std::strchr(at + 2, '}');
            if (close) {
                result += '%';
                at = close + 1;
                continue;
            }
        }
        result += *at++;
    }
    return result;
}

std::string formatted(const char* format, va_list arguments)
{
    char small[256];
    va_list copy;
    va_copy(copy, arguments);
    int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) {
        return {};
    }
    if (size_t(length) < sizeof small) {
        return std::string(small, size_t(length));
    }
    std::string result(size_t(length), '\0');
    va_copy(copy, arguments);
    std::vsnprintf(result.data(), result.size() + 1, format, copy);
    va_end(copy);
    return result;
}

const char* programName()
{
    return program_invocation_short_name;
}

} // namespace DarwinLog
