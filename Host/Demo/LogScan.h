#pragma once

// The lines of a run's log that tell of a fault, less those the run's own scenario explains: where
// packets are dropped, the drivers' reports of them; and lines holding one of the texts a run
// expects, such as the time-out of a start it made fail.

#include <string>
#include <vector>

namespace Demo {

struct LogScanResult
{
    std::vector<std::string> unexpected;
    // "!!! Detected N dropped isoc packets!" lines, expected where the bus drops packets.
    size_t dropReports = 0;
};

LogScanResult ScanLog(const std::vector<std::string>& lines, bool dropsExpected,
                      const std::vector<std::string>& expected = {});

} // namespace Demo
