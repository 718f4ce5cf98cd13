#include "LogScan.h"

#include <algorithm>

namespace Demo {

namespace {

constexpr const char* kFaultMarks[] = {
    "ASSERTION FAILURE",
    "!!!",
    "!! Isoc stalled!",
    "USB IN ERR",
    "UpdateFrameTimestamps FAIL",
    "DoGetFrameSnapshot FAIL",
    "Couldn't find USB request block",
    "TIMEOUT STARTING OUTPUT",
};
constexpr const char* kDropReport = "!!! Detected ";
// The kernel extension reports each input packet the bus lost.
constexpr const char* kInputError = "USB IN ERR";

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
