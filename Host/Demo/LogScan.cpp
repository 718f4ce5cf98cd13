#include "LogScan.h"

#include <algorithm>
#include <iterator>

namespace Demo {

namespace {

constexpr const char* kFaultMarks[] = {
    "ASSERTION FAILURE",       "!!!", "!! Isoc stalled!", "USB IN ERR", "Couldn't find USB request block",
    "TIMEOUT STARTING OUTPUT",
};
constexpr const char* kDropReport = "!!! Detected ";
// The kernel extension reports each input packet the bus lost.
constexpr const char* kInputError = "USB IN ERR";
// The drivers' word of a look at the frame clock that missed every boundary it tried.
constexpr const char* kMissedSnapshots[] = {"UpdateFrameTimestamps FAIL", "DoGetFrameSnapshot FAIL"};

bool Contains(const std::string& line, const std::string& mark)
{
    return line.find(mark) != std::string::npos;
}

} // namespace

LogScanResult ScanLog(const std::vector<std::string>& lines, bool dropsExpected,
                      const std::vector<std::string>& expected)
{
    LogScanResult result;
    for (const std::string& line : lines) {
        if (std::any_of(expected.begin(), expected.end(),
                        [&](const std::string& text) { return Contains(line, text); })) {
            continue;
        }
        if (std::any_of(std::begin(kMissedSnapshots), std::end(kMissedSnapshots),
                        [&](const char* text) { return Contains(line, text); })) {
            ++result.missedSnapshots;
            continue;
        }
        if (Contains(line, kDropReport) && Contains(line, "dropped isoc packets!")) {
            ++result.dropReports;
            if (dropsExpected) {
                continue;
            }
        }
        if (dropsExpected && Contains(line, kInputError)) {
            continue;
        }
        for (const char* mark : kFaultMarks) {
            if (Contains(line, mark)) {
                result.unexpected.push_back(line);
                break;
            }
        }
    }
    return result;
}

} // namespace Demo
