#pragma once

// What a run of the audio demo is asked to do, read from its command line.

#include <KorvanInterface/Identity.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Demo {

enum class DriverChoice
{
    Auto,
    Kext,
    Dext,
};

struct DemoOptions
{
    KorvanInterface::Model model = KorvanInterface::Model::Brio;
    uint32_t rate = 48000;
    uint32_t bufferFrames = 512;
    DriverChoice driver = DriverChoice::Auto;
    uint32_t durationSeconds = 10;
    // Percent of input packets the bus drops; unset: the default for the header mode.
    std::optional<double> dropPercent;
    int32_t driftPpm = 25;
    uint8_t headerVersion = 2;
    std::string outputFolder;
    uint32_t isochronousCaptureSeconds = 0;
    uint64_t seed = 1;
    // Runs under test only: the bus frame clock's deviation, and the record stream's subslot size.
    int32_t busDeviationPpm = 0;
    uint8_t subslotBytes = 4;

    // Drops by default only where headers let the plug-in repair them: the device offers them and
    // the driver turned them on (the kernel extension never does).
    double effectiveDropPercent(bool headersOn) const;
};

struct ParseResult
{
    std::optional<DemoOptions> options;
    // Set when the run should not go on: the text to print and the exit status.
    std::string message;
    int status = 0;
};

// `defaultOutput` is the folder used when --out is not given.
ParseResult ParseOptions(const std::vector<std::string>& arguments, const std::string& defaultOutput);
std::string HelpText();

const char* DriverName(DriverChoice driver);

} // namespace Demo
