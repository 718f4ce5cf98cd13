#pragma once

// One demo run as a row streams it: in the row's own output folder, with its report printed and kept
// there, and its recording kept only when the run failed.

#include <DemoRun.h>
#include <Report.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace E2E {

inline Demo::RunResult StreamRow(const std::string& name, Demo::DemoOptions options,
                                 const Demo::Scenario& scenario = {})
{
    options.outputFolder = testing::TempDir() + "e2e/" + name;
    std::filesystem::remove_all(options.outputFolder);
    Demo::RunResult result = Demo::RunDemo(options, scenario);
    const std::string report = Demo::FormatReport(result);
    std::ofstream(options.outputFolder + "/report.txt") << report;
    std::printf("%s", report.c_str());
    if (result.pass) {
        std::filesystem::remove(result.wavPath);
    }
    return result;
}

} // namespace E2E
