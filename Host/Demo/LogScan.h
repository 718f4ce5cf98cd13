#pragma once

// The lines of a run's log that tell of a fault, less those the run's own scenario explains: where
// packets are dropped, the drivers' reports of them.

#include <string>
#include <vector>

namespace Demo {

struct LogScanResult
{
    std::vector<std::string> unexpected;
    // "!!! Detected N dropped isoc packets!" lines, expected where the bus drops packets.
    size_t dropReports = 0;
};

LogScanResult ScanLog(const std::vector<std::string>& lines, bool dropsExpected);

} // namespace Demo
