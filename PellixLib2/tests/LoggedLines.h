#pragma once

// Whether a capture holds an os_log line beginning with a given text.

#include <DarwinTesting/LogCapture.h>

#include <string>

inline bool LoggedLineStartingWith(const DarwinTesting::LogCapture& capture, const std::string& start)
{
    for (const std::string& line : capture.texts(DarwinTesting::LogSource::OSLog)) {
        if (line.rfind(start, 0) == 0) {
            return true;
        }
    }
    return false;
}
