#pragma once

// The lines of a run's log that tell of a fault, less those the run's own scenario explains: where
// packets are dropped, the drivers' reports of them; and lines holding one of the texts a run
// expects, such as the time-out of a start it made fail. Missed looks at the frame clock are counted
// apart.

#include <string>
#include <vector>

namespace Demo {

struct LogScanResult
{
    std::vector<std::string> unexpected;
    // "!!! Detected N dropped isoc packets!" lines, expected where the bus drops packets.
    size_t dropReports = 0;
    // A driver's periodic look at the frame clock that missed the boundary on every try: on a
    // virtual machine the host can take the CPU across each one (see DarwinTesting::startedWithin).
    // The driver keeps its previous clock, which a run judges by the zero timestamps' errors.
    size_t missedSnapshots = 0;
};

LogScanResult ScanLog(const std::vector<std::string>& lines, bool dropsExpected,
                      const std::vector<std::string>& expected = {});

} // namespace Demo
