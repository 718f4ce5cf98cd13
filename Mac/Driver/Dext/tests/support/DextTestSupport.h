#pragma once

// Helpers shared by the driver's tests.

#include <DarwinTesting/LogCapture.h>
#include <IOKit/IOReturn.h>

#include <string>
#include <vector>

namespace DextTesting {

constexpr IOReturn kBadArgument = static_cast<IOReturn>(0xE00002C2);
constexpr IOReturn kError = static_cast<IOReturn>(0xE00002BC);
constexpr uint32_t kAudioClient = 0x494F494F;
constexpr uint32_t kTestClient = 0x54455354;

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
