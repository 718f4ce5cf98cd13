#pragma once

// The plug-in's Log lines while it exists: the stream sink on a scratch file, syslog off.

#include <cstdio>
#include <string>

namespace PlugInTesting {

class LogLines
{
public:
    LogLines();
    ~LogLines();
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    std::string text() const;
    bool contains(const std::string& piece) const { return text().find(piece) != std::string::npos; }
    int count(const std::string& piece) const;

private:
    FILE* fFile;
};

} // namespace PlugInTesting
