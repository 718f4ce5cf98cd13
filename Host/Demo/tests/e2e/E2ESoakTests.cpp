// Minutes of audio through the chain: every compared sample summed per channel, played and
// recorded; a notch filter run by sox over the recording finds no click; the process does not
// grow.

#include <DemoRun.h>
#include <Report.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

namespace {

constexpr uint32_t kSoakSeconds = 60;
constexpr uint64_t kGrowthLimit = 4u << 20;

std::string Output(const std::string& command)
{
    std::string text;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return text;
    }
    std::array<char, 4096> buffer{};
    while (fgets(buffer.data(), int(buffer.size()), pipe) != nullptr) {
        text += buffer.data();
    }
    pclose(pipe);
    return text;
}

TEST(E2ESoak, KernelExtensionWrenletAMinuteWithDrift)
{
    Demo::DemoOptions options;
    options.model = KorvanInterface::Model::Wrenlet;
    options.driver = Demo::DriverChoice::Kext;
    options.durationSeconds = kSoakSeconds;
    options.driftPpm = 100;
    options.dropPercent = 0;
    options.outputFolder = testing::TempDir() + "soak/kext-wrenlet";
    std::filesystem::remove_all(options.outputFolder);
    const Demo::RunResult result = Demo::RunDemo(options);
    const std::string report = Demo::FormatReport(result);
    std::ofstream(options.outputFolder + "/report.txt") << report;
    std::printf("%s", report.c_str());

    ASSERT_TRUE(result.deviceAppeared);
    EXPECT_GT(result.loopback.framesCompared, uint64_t(kSoakSeconds - 5) * 48000);
    EXPECT_EQ(result.loopback.playedChecksums, result.loopback.recordedChecksums);
    EXPECT_EQ(result.loopback.mismatchedSamples, 0u);
    ASSERT_NE(result.residentAfter10s, 0u);
    EXPECT_LE(result.residentAtEnd, result.residentAfter10s + kGrowthLimit);
    std::printf("xruns %llu, late bus frames %llu\n",
                static_cast<unsigned long long>(result.timing.lateCycles),
                static_cast<unsigned long long>(result.lateBusFrames));
    if (result.timing.lateCycles == 0 && result.lateBusFrames == 0) {
        const double skip = double(result.loopback.latencyFrames) / options.rate + 0.5;
        const std::string stats = Output("sox " + result.wavPath + " -n remix 1 trim " +
                                         std::to_string(skip) + " bandreject 440 11q stats");
        std::smatch peak;
        ASSERT_TRUE(std::regex_search(stats, peak, std::regex("Pk lev dB +(-?[0-9.]+|-inf)"))) << stats;
        EXPECT_TRUE(peak[1] == "-inf" || std::stod(peak[1]) < -80) << stats;
    }
}

} // namespace
