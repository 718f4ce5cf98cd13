#pragma once

// A real-time logger for tests: formats every message the way LogThread does and keeps the text.

#include <RealTimeLog.h>

#include <string>
#include <vector>

struct RecordingLog
{
    template <class Location, class... Args>
    void PostMessage(const char* format, const Args&... args)
    {
        char text[512];
        FormatMessage(text, sizeof text, format, args...);
        fMessages.emplace_back(text);
    }

    std::vector<std::string> fMessages;
};
