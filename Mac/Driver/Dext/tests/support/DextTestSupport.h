#pragma once

// Helpers shared by the driver's tests.

#include <DarwinTesting/LogCapture.h>

#include <string>
#include <vector>

namespace DextTesting {

// The driver's log lines captured so far.
inline std::vector<std::string> lines(const DarwinTesting::LogCapture& capture)
{
    return capture.texts(DarwinTesting::LogSource::OSLog);
}

// How many captured lines start with `prefix`.
inline size_t countLines(const DarwinTesting::LogCapture& capture, const std::string& prefix)
{
    size_t count = 0;
    for (const std::string& line : lines(capture)) {
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

inline bool logged(const DarwinTesting::LogCapture& capture, const std::string& prefix)
{
    return countLines(capture, prefix) > 0;
}

} // namespace DextTesting
