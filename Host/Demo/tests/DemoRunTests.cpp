// tide-demo as a user runs it: its command line, and a short run whose files are read back by
// independent readers (sox, libpng, tshark).

#include <gtest/gtest.h>

#include <png.h>
#include <pthread.h>
#include <sched.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>

namespace {

struct Outcome
{
    int status = -1;
    std::string output;
};

// Runs a shell command, standard error joined to standard output.
Outcome RunCommand(const std::string& command)
{
    Outcome outcome;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return outcome;
    }
    std::array<char, 4096> buffer{};
    while (fgets(buffer.data(), int(buffer.size()), pipe) != nullptr) {
        outcome.output += buffer.data();
    }
    const int raw = pclose(pipe);
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return outcome;
}

std::string Demo(const std::string& arguments)
{
    return std::string(TIDE_DEMO_PROGRAM) + " " + arguments;
}

size_t Lines(const std::string& text)
{
    size_t lines = 0;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

struct OptionCase
{
    const char* name;
    const char* arguments;
    int status;
    // Text the answer holds.
    const char* says;
};

class DemoOptions : public testing::TestWithParam<OptionCase>
{};

TEST_P(DemoOptions, AnswersAsAUserExpects)
{
    const OptionCase& option = GetParam();
    const Outcome outcome = RunCommand(Demo(option.arguments));
    EXPECT_EQ(outcome.status, option.status) << outcome.output;
    EXPECT_NE(outcome.output.find(option.says), std::string::npos) << outcome.output;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, DemoOptions,
    testing::Values(
        OptionCase{"Help", "--help", 0, "--drop-rate VALUE"},
        OptionCase{"HelpDefaults", "--help", 0, "(default brio)"},
        OptionCase{"Model", "--model cello", 2, "--model; allowed: brio, tenor, basso, wrenlet, pyx"},
        OptionCase{"Rate", "--rate 32000", 2, "--rate; allowed: 44100"},
        OptionCase{"BufferSmall", "--buffer 31", 2, "--buffer; allowed: 32 to 4096"},
        OptionCase{"BufferLarge", "--buffer 4097", 2, "--buffer; allowed"},
        OptionCase{"Driver", "--driver usb", 2, "--driver; allowed: auto, kext, dext"},
        OptionCase{"DurationZero", "--duration 0", 2, "--duration; allowed: 1 to 3600"},
        OptionCase{"DurationLong", "--duration 3601", 2, "--duration; allowed"},
        OptionCase{"DropRate", "--drop-rate 5.5", 2, "--drop-rate; allowed: 0 to 5"},
        OptionCase{"DropRateText", "--drop-rate some", 2, "--drop-rate; allowed"},
        OptionCase{"Drift", "--drift 1001", 2, "--drift; allowed: -1000 to +1000"},
        OptionCase{"Headers", "--headers 3", 2, "--headers; allowed: 0, 1, 2"},
        OptionCase{"CaptureIso", "--capture-iso -1", 2, "--capture-iso; allowed"},
        OptionCase{"Seed", "--seed x", 2, "--seed; allowed"},
        OptionCase{"MissingValue", "--rate", 2, "--rate needs a value"},
        OptionCase{"Unknown", "--nosuch", 2, "unknown option '--nosuch'; the options are: --model"}),
    [](const testing::TestParamInfo<OptionCase>& info) { return std::string(info.param.name); });

TEST(DemoCommandLine, UnknownOptionIsOneLine)
{
    const Outcome outcome = RunCommand(Demo("--nosuch"));
    EXPECT_EQ(Lines(outcome.output), 1u) << outcome.output;
}

TEST(DemoCommandLine, UnknownScenarioIsNamedBeforeAnythingIsBuilt)
{
    const Outcome outcome = RunCommand(std::string(TIDE_SOURCE_DIR) + "/tide demo nosuch");
    EXPECT_EQ(outcome.status, 2);
    const std::string first = outcome.output.substr(0, outcome.output.find('\n'));
    EXPECT_EQ(first, "unknown demo scenario 'nosuch'");
    EXPECT_NE(outcome.output.find("  audio "), std::string::npos) << outcome.output;
    EXPECT_EQ(outcome.output.find("=="), std::string::npos) << "a stage ran: " << outcome.output;
}

TEST(DemoCommandLine, KernelExtensionAloneExplainsWhyNothingClaimsTheBrio)
{
    const std::string folder = testing::TempDir() + "demo-kext-brio";
    const Outcome outcome = RunCommand(Demo("--driver kext --model brio --out " + folder));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(
        outcome.output.find("No driver claimed the simulated Brio: the kernel extension drives only the "
                            "Wrenlet (USB product 12). Use --driver auto or dext, or --model wrenlet."),
        std::string::npos)
        << outcome.output;
}

// The numbers of "key=value" lines.
std::map<std::string, std::string> ReadSummary(const std::string& path)
{
    std::map<std::string, std::string> values;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (const size_t equals = line.find('='); equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

std::pair<uint32_t, uint32_t> PngSize(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return {0, 0};
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::pair<uint32_t, uint32_t> size{0, 0};
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_read_info(png, info);
        size = {png_get_image_width(png, info), png_get_image_height(png, info)};
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return size;
}

// tshark's answer for the capture: one line per packet of `fields` that passes `filter`.
std::string Tshark(const std::string& capture, const std::string& filter, const std::string& fields)
{
    // tshark's warning about running as root stays out of the answer.
    return RunCommand("(tshark -r " + capture + " -Y '" + filter + "' -T fields " + fields + " 2>/dev/null)")
        .output;
}

class DemoRun : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        sFolder = new std::string(testing::TempDir() + "demo-run");
        std::filesystem::remove_all(*sFolder);
        sOutcome = new Outcome(RunCommand(Demo("--duration 3 --out " + *sFolder)));
    }
    static void TearDownTestSuite()
    {
        delete sOutcome;
        delete sFolder;
    }

    static std::string File(const std::string& name) { return *sFolder + "/" + name; }

    static std::string* sFolder;
    static Outcome* sOutcome;
};

std::string* DemoRun::sFolder = nullptr;
Outcome* DemoRun::sOutcome = nullptr;

TEST_F(DemoRun, EndsWithItsVerdict)
{
    const std::string& output = sOutcome->output;
    const size_t last = output.rfind('\n', output.size() - 2);
    const std::string verdict = output.substr(last + 1);
    EXPECT_EQ(verdict.rfind(sOutcome->status == 0 ? "PASS" : "FAIL: ", 0), 0u) << output;
    EXPECT_NE(output.find("driver extension (through the kernel-numbering adapter)"), std::string::npos);
    EXPECT_NE(output.find("headers:       on (version 2)"), std::string::npos);
}

TEST_F(DemoRun, WavHoldsTheBriosInputsAndTheSine)
{
    const Outcome info = RunCommand("sox --i " + File("recorded.wav"));
    EXPECT_NE(info.output.find("Channels       : 6"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Sample Rate    : 48000"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Precision      : 24-bit"), std::string::npos) << info.output;
    const Outcome seconds = RunCommand("sox --i -D " + File("recorded.wav"));
    EXPECT_NEAR(std::stod(seconds.output), 3.0, 0.2);

    const auto summary = ReadSummary(File("summary.txt"));
    ASSERT_TRUE(summary.count("latency_frames"));
    const double skip = std::stod(summary.at("latency_frames")) / 48000 + 0.1;
    const Outcome stats =
        RunCommand("sox " + File("recorded.wav") + " -n remix 1 trim " + std::to_string(skip) + " stats");
    std::smatch level;
    ASSERT_TRUE(std::regex_search(stats.output, level, std::regex("RMS lev dB +(-?[0-9.]+)")))
        << stats.output;
    EXPECT_NEAR(std::stod(level[1]), -9.0, 0.1);
}

TEST_F(DemoRun, PlotIs1200By800)
{
    EXPECT_EQ(PngSize(File("plot.png")), (std::pair<uint32_t, uint32_t>{1200, 800}));
}

TEST_F(DemoRun, CaptureShowsTheStartAndTheStop)
{
    const std::string capture = File("capture.pcap");
    // SET_CONFIGURATION.
    EXPECT_FALSE(
        Tshark(capture, "usb.setup.bRequest == 9 && usb.bmRequestType == 0x00", "-e frame.number").empty());
    // GET CUR of the sample rate on clock 0x10.
    EXPECT_FALSE(
        Tshark(capture,
               "usb.bmRequestType == 0xa1 && usb.setup.bRequest == 1 && usb.setup.wValue == 0x0100 && "
               "usb.setup.wIndex == 0x1000",
               "-e frame.number")
            .empty());
    // The vendor requests: the header version and its enable.
    const std::string vendor =
        "usb.bmRequestType.type == 2 && usb.setup.bRequest == 2 && usb.bmRequestType.direction == ";
    EXPECT_FALSE(Tshark(capture, vendor + "1", "-e frame.number").empty());
    EXPECT_FALSE(Tshark(capture, vendor + "0", "-e frame.number").empty());
    // SET_INTERFACE on interfaces 1 and 2: alternate 1 at the start, 0 after the stop.
    const std::string settings = Tshark(capture, "usb.setup.bRequest == 11 && usb.bmRequestType == 0x01",
                                        "-e usb.setup.wInterface -e usb.bAlternateSetting");
    EXPECT_NE(settings.find("1\t1"), std::string::npos) << settings;
    EXPECT_NE(settings.find("2\t1"), std::string::npos) << settings;
    const size_t lastOne = std::max(settings.rfind("1\t0"), settings.rfind("2\t0"));
    EXPECT_NE(lastOne, std::string::npos) << settings;
    EXPECT_GT(lastOne, std::max(settings.rfind("1\t1"), settings.rfind("2\t1"))) << settings;
}

// Whether a thread of this process may take the first-in-first-out real-time class.
bool MayRunRealTime()
{
    bool allowed = false;
    std::thread([&] {
        sched_param parameters = {};
        parameters.sched_priority = sched_get_priority_min(SCHED_FIFO);
        allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
    }).join();
    return allowed;
}

TEST_F(DemoRun, IOThreadRanInTheRealTimeClassWhereThisMachineAllowsIt)
{
    const std::string expected = MayRunRealTime()
                                     ? "IO thread:     real-time priority"
                                     : "IO thread:     normal priority (no real-time class allowed)";
    EXPECT_NE(sOutcome->output.find(expected), std::string::npos) << sOutcome->output;
}

TEST_F(DemoRun, ReportShowsTheNumbersTheRunReturned)
{
    const auto summary = ReadSummary(File("summary.txt"));
    const std::string& report = sOutcome->output;
    auto shows = [&](const std::string& label, const std::string& key) {
        ASSERT_TRUE(summary.count(key)) << key;
        EXPECT_NE(report.find(label + summary.at(key)), std::string::npos) << label << summary.at(key) << "\n"
                                                                           << report;
    };
    shows("measured:      ", "round_trip_frames");
    shows("lost:          ", "lost");
    shows("duplicated:    ", "duplicated");
    shows("injected:      ", "drops_injected");
    shows("reported:      ", "zero_timestamps");
    shows("xruns:         ", "late_cycles");
    EXPECT_EQ(summary.at("pass") == "1", sOutcome->status == 0);
}

} // namespace
