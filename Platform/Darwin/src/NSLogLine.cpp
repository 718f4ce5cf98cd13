#include "LogFormat.h"
#include "LogSink.h"

#include <Darwin/Clock.h>
#include <Darwin/Log.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

constexpr double kUnixTimeOf2001 = 978307200.0;

// "2024-05-01 13:45:07.123" in local time, from the process clock.
std::string timestamp()
{
    double seconds = DarwinClock::absoluteNow() + kUnixTimeOf2001;
    double whole = std::floor(seconds);
    time_t unixTime = time_t(whole);
    int milliseconds = int((seconds - whole) * 1000);
    tm local{};
    localtime_r(&unixTime, &local);
    char text[64];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03d", milliseconds);
    return text;
}

} // namespace

void DarwinLog::writeNSLogLine(const char* text)
{
    std::string message = text ? text : "";
    if (capture([&] { return Record{Source::NSLog, message}; })) {
        return;
    }
    std::string line = timestamp() + " " + programName() + "[" + std::to_string(getpid()) + ":" +
                       std::to_string(gettid()) + "] " + message;
    if (line.back() != '\n') {
        line += '\n';
    }
    writeLine(line);
}
