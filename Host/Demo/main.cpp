// tide-demo [options]: ten seconds of audio through a simulated Korvan interface, from the audio
// server's host through the plug-in and a driver to the device and back, checked sample by sample.

#include "DemoOptions.h"
#include "DemoRun.h"
#include "Report.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const Demo::ParseResult parsed = Demo::ParseOptions(arguments, TIDE_DEMO_DEFAULT_OUTPUT);
    if (!parsed.options) {
        std::fputs((parsed.message + (parsed.message.back() == '\n' ? "" : "\n")).c_str(),
                   parsed.status == 0 ? stdout : stderr);
        return parsed.status;
    }
    const Demo::DemoOptions& options = *parsed.options;
    if (options.headerVersion == 0 && options.effectiveDropPercent(false) > 0) {
        std::printf(
            "Without streaming headers a dropped packet cannot be repaired, only skipped: its frames are "
            "gone, and the report counts them.\n");
    }
    std::printf("Streaming %u s through a simulated %s...\n", options.durationSeconds,
                KorvanInterface::modelInfo(options.model).product);
    std::fflush(stdout);
    const Demo::RunResult result = Demo::RunDemo(options);
    const std::string report = Demo::FormatReport(result);
    std::fputs(report.c_str(), stdout);
    std::ofstream(options.outputFolder + "/report.txt") << report;
    std::ofstream(options.outputFolder + "/summary.txt") << Demo::FormatSummary(result);
    return result.pass ? 0 : 1;
}
