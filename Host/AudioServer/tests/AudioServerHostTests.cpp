#include "AudioServerHost.h"
#include "PlugInBundle.h"
#include "ScriptedDriver.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/ManualClock.h>
#include <gtest/gtest.h>

#include <Darwin/Clock.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace HostTesting;
using namespace std::chrono_literals;

namespace {

// A bundle folder made for one test, with the Info.plist it is given.
class ScratchBundle
{
public:
    explicit ScratchBundle(const std::string& plistBody, const std::string& executable = {})
    {
        char pattern[] = "/tmp/HostBundleXXXXXX";
        fPath = mkdtemp(pattern);
        fPath += "/Test.driver";
        std::filesystem::create_directories(fPath + "/Contents/MacOS");
        if (!plistBody.empty()) {
            std::ofstream(fPath + "/Contents/Info.plist")
                << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                << plistBody << "</dict>\n</plist>\n";
        }
        if (!executable.empty()) {
            std::filesystem::copy_file(executable, fPath + "/Contents/MacOS/Test");
        }
    }
    ~ScratchBundle() { std::filesystem::remove_all(std::filesystem::path(fPath).parent_path()); }

    const std::string& Path() const { return fPath; }

private:
    std::string fPath;
};

const std::string kTypes = "<key>CFPlugInTypes</key><dict><key>443ABAB8-E7B3-491A-B985-BEB9187030DB</key>"
                           "<array><string>11111111-2222-3333-4444-555555555555</string></array></dict>\n";
const std::string kFactories =
    "<key>CFPlugInFactories</key><dict><key>11111111-2222-3333-4444-555555555555</key>"
    "<string>VORKtideAudioServerPlugin_Create</string></dict>\n";
const std::string kExecutable = "<key>CFBundleExecutable</key><string>Test</string>\n";

TEST(PlugInBundleLoading, BrokenBundlesNameWhatIsMissing)
{
    struct BrokenCase
    {
        const char* fName;
        std::string fPlist;
        std::string fExecutable;
        std::string fError;
    };
    const BrokenCase cases[] = {
        {"no Info.plist", "", "", "no Info.plist"},
        {"no plug-in types", kFactories + kExecutable, TIDE_SHARED_LIBRARY, "no CFPlugInTypes"},
        {"type without factory", "<key>CFPlugInTypes</key><dict/>" + kFactories + kExecutable,
         TIDE_SHARED_LIBRARY, "names no factory for the audio-server plug-in type"},
        {"no factories", kTypes + kExecutable, TIDE_SHARED_LIBRARY, "no CFPlugInFactories"},
        {"no executable key", kTypes + kFactories, TIDE_SHARED_LIBRARY, "no CFBundleExecutable"},
        {"no executable file", kTypes + kFactories + kExecutable, "", "cannot load the executable"},
        {"no factory symbol", kTypes + kFactories + kExecutable, TIDE_SHARED_LIBRARY,
         "has no factory function VORKtideAudioServerPlugin_Create"},
    };
    for (const BrokenCase& c : cases) {
        SCOPED_TRACE(c.fName);
        ScratchBundle bundle(c.fPlist, c.fExecutable);
        try {
            PlugInBundle::Load(bundle.Path());
            ADD_FAILURE() << "loaded";
        } catch (const BundleError& error) {
            EXPECT_NE(std::string(error.what()).find(c.fError), std::string::npos) << error.what();
        }
    }
}

TEST(AudioServerHostInterface, PropertiesChangesAreRecordedInOrderWithTheirThread)
{
    ScriptedDriver driver;
    AudioServerHost host(driver.Ref());
    const AudioObjectPropertyAddress first[] = {{'abcd', kAudioObjectPropertyScopeGlobal, 0},
                                                {'efgh', kAudioObjectPropertyScopeInput, 3}};
    const AudioObjectPropertyAddress second = {'ijkl', kAudioObjectPropertyScopeOutput, 1};
    std::vector<std::thread::id> observed;
    host.SetPropertiesChangedObserver(
        [&](const HostPropertiesChange& change) { observed.push_back(change.fThread); });
    host.Ref()->PropertiesChanged(host.Ref(), 40, 2, first);
    std::thread::id other;
    std::thread([&] {
        other = std::this_thread::get_id();
        host.Ref()->PropertiesChanged(host.Ref(), 41, 1, &second);
    }).join();
    const std::vector<HostPropertiesChange> changes = host.PropertiesChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].fObjectID, 40u);
    ASSERT_EQ(changes[0].fAddresses.size(), 2u);
    EXPECT_EQ(changes[0].fAddresses[1].mSelector, UInt32('efgh'));
    EXPECT_EQ(changes[0].fAddresses[1].mElement, 3u);
    EXPECT_EQ(changes[0].fThread, std::this_thread::get_id());
    EXPECT_EQ(changes[1].fObjectID, 41u);
    EXPECT_EQ(changes[1].fThread, other);
    EXPECT_EQ(observed, (std::vector<std::thread::id>{std::this_thread::get_id(), other}));
}

TEST(AudioServerHostInterface, StorageKeepsCopiesByKey)
{
    ScriptedDriver driver;
    AudioServerHost host(driver.Ref());
    AudioServerPlugInHostRef ref = host.Ref();
    CFPropertyListRef value = nullptr;
    EXPECT_NE(ref->CopyFromStorage(ref, CFSTR("missing"), &value), 0);
    EXPECT_EQ(value, nullptr);
    CFMutableDictionaryRef stored = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                              &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(stored, CFSTR("rate"), CFSTR("48000"));
    EXPECT_EQ(ref->WriteToStorage(ref, CFSTR("settings"), stored), 0);
    CFDictionarySetValue(stored, CFSTR("rate"), CFSTR("96000"));
    ASSERT_EQ(ref->CopyFromStorage(ref, CFSTR("settings"), &value), 0);
    ASSERT_NE(value, nullptr);
    EXPECT_TRUE(
        CFEqual(CFDictionaryGetValue(static_cast<CFDictionaryRef>(value), CFSTR("rate")), CFSTR("48000")))
        << "a copy was stored";
    CFRelease(value);
    CFRelease(stored);
    EXPECT_EQ(ref->DeleteFromStorage(ref, CFSTR("settings")), 0);
    EXPECT_NE(ref->CopyFromStorage(ref, CFSTR("settings"), &value), 0);
    EXPECT_NE(ref->DeleteFromStorage(ref, CFSTR("settings")), 0);
}

// A host with one running client on the scripted device, on the manual clock.
class HostWithClient : public testing::Test
{
protected:
    void SetUp() override
    {
        fDriver.fZeroHostTime = DarwinClock::hostNow();
        ASSERT_EQ(fHost.StartIO(kDevice, 7, kFrames, nullptr), 0);
    }

    void TearDown() override { fHost.StopIO(kDevice, 7); }

    static constexpr UInt32 kFrames = 480;
    DarwinTesting::ManualClock fClock;
    ScriptedDriver fDriver;
    AudioServerHost fHost{fDriver.Ref()};
};

TEST_F(HostWithClient, ConfigurationChangesStopAndRestartTheRunningClients)
{
    struct ModeCase
    {
        AudioServerHost::ConfigurationMode fMode;
        const char* fAnswer;
    };
    const ModeCase cases[] = {{AudioServerHost::ConfigurationMode::Perform, "Perform 5"},
                              {AudioServerHost::ConfigurationMode::Abort, "Abort 5"}};
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.fAnswer);
        fHost.SetConfigurationMode(c.fMode);
        fDriver.ClearCalls();
        fHost.Ref()->RequestDeviceConfigurationChange(fHost.Ref(), kDevice, 5, nullptr);
        fHost.Drain();
        std::vector<std::string> calls;
        for (const std::string& call : fDriver.Calls()) {
            if (call.rfind("StopIO", 0) == 0 || call.rfind("StartIO", 0) == 0 || call == c.fAnswer) {
                calls.push_back(call);
            }
        }
        EXPECT_EQ(calls, (std::vector<std::string>{"StopIO 7", c.fAnswer, "StartIO 7"}));
        ASSERT_NE(fHost.Runner(kDevice, 7), nullptr);
    }
    EXPECT_EQ(fHost.ConfigurationRequests().size(), 2u);
}

// The start observer hears of the first start and of each restart after a configuration change,
// before the plug-in's StartIO, with the configuration the cycles run in.
TEST_F(HostWithClient, StartObserverHearsEachStartBeforeThePlugIn)
{
    fHost.StopIO(kDevice, 7);
    std::vector<std::string> heard;
    ASSERT_EQ(fHost.StartIO(kDevice, 7, kFrames, nullptr, {},
                            [&](const IOConfiguration& configuration) {
                                heard.push_back("start " + std::to_string(configuration.fBufferFrames) +
                                                " after " + std::to_string(fDriver.Calls().size()));
                            }),
              0);
    fDriver.ClearCalls();
    fHost.Ref()->RequestDeviceConfigurationChange(fHost.Ref(), kDevice, 5, nullptr);
    fHost.Drain();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard.back().rfind("start 480 after ", 0), 0u);
    const std::vector<std::string> calls = fDriver.Calls();
    const size_t before = std::stoul(heard.back().substr(heard.back().rfind(' ') + 1));
    const auto perform = std::find(calls.begin(), calls.end(), "Perform 5");
    const auto start = std::find(calls.begin(), calls.end(), "StartIO 7");
    ASSERT_NE(perform, calls.end());
    ASSERT_NE(start, calls.end());
    EXPECT_GT(before, size_t(perform - calls.begin()));
    EXPECT_LE(before, size_t(start - calls.begin()));
}

TEST_F(HostWithClient, HeldRequestWaitsForTheTest)
{
    fHost.SetConfigurationMode(AudioServerHost::ConfigurationMode::Hold);
    fHost.Ref()->RequestDeviceConfigurationChange(fHost.Ref(), kDevice, 9, nullptr);
    fHost.Drain();
    const std::vector<std::string> held = fDriver.Calls();
    EXPECT_EQ(std::count(held.begin(), held.end(), "StopIO 7"), 1);
    EXPECT_EQ(std::count(held.begin(), held.end(), "Perform 9"), 0);
    EXPECT_EQ(fHost.Runner(kDevice, 7), nullptr) << "stopped while held";
    fHost.ReleaseHeldRequests(AudioServerHost::ConfigurationMode::Perform);
    fHost.Drain();
    const std::vector<std::string> released = fDriver.Calls();
    EXPECT_EQ(std::count(released.begin(), released.end(), "Perform 9"), 1);
    EXPECT_EQ(std::count(released.begin(), released.end(), "StartIO 7"), 2);
    EXPECT_NE(fHost.Runner(kDevice, 7), nullptr);
}

// The IO cycles of one runner against the scripted device, on the manual clock.
class IORunnerCycles : public testing::Test
{
protected:
    IOConfiguration Configuration() const
    {
        return {kDevice, 3, kFrames, 48000, 16, 24, {{kInputStream, true, 8}, {kOutputStream, false, 16}}};
    }

    // Lets `count` more cycles run: each waits one buffer's time after the one before.
    void RunCycles(IORunner& runner, UInt64 count)
    {
        const UInt64 target = runner.CycleCount() + count;
        const auto limit = std::chrono::steady_clock::now() + 30s;
        while (runner.CycleCount() < target && !runner.EndedByPlugIn() &&
               std::chrono::steady_clock::now() < limit) {
            fClock.advance(std::chrono::nanoseconds(kFrames * 1'000'000'000ull / 48000));
        }
    }

    static constexpr UInt32 kFrames = 480;
    DarwinTesting::ManualClock fClock;
    ScriptedDriver fDriver;
};

TEST_F(IORunnerCycles, EachCycleCallsInOrderAndAdvancesByTheBuffer)
{
    fDriver.fZeroHostTime = DarwinClock::hostNow();
    fDriver.fZeroSampleTime = 1000;
    std::vector<std::string> order;
    std::vector<size_t> sizes;
    IORunner runner(fDriver.Ref(), Configuration(),
                    [&](const AudioServerPlugInIOCycleInfo&, const std::vector<IOBuffer>& inputs,
                        std::vector<IOBuffer>& outputs) {
                        sizes = {inputs.at(0).fBytes.size(), outputs.at(0).fBytes.size()};
                        order.push_back("callback");
                    });
    ASSERT_EQ(runner.Start(), 0);
    RunCycles(runner, 3);
    runner.Stop();
    const std::vector<std::string> calls = fDriver.Calls();
    const std::vector<std::string> start = {"StartIO 3", "WillDo read", "WillDo rite"};
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 3), start);
    const std::vector<std::string> cycle = {"GetZeroTimeStamp", "Begin read", "Do read 11", "End read",
                                            "Begin rite",       "Do rite 12", "End rite"};
    // The first zero timestamp is read before the first cycle's own.
    for (size_t index = 0; index < cycle.size(); ++index) {
        EXPECT_EQ(calls.at(4 + index), cycle[index]) << index;
    }
    EXPECT_EQ(calls.back(), "StopIO 3");
    EXPECT_EQ(sizes, (std::vector<size_t>{8 * kFrames, 16 * kFrames}));
    const std::vector<AudioServerPlugInIOCycleInfo> cycles = fDriver.Cycles();
    ASSERT_GE(cycles.size(), 3u);
    for (size_t index = 0; index < cycles.size(); ++index) {
        const Float64 sampleTime = 1000 + Float64(index) * kFrames;
        EXPECT_EQ(cycles[index].mIOCycleCounter, index + 1);
        EXPECT_EQ(cycles[index].mNominalIOBufferFrameSize, kFrames);
        EXPECT_EQ(cycles[index].mInputTime.mSampleTime, sampleTime - 16 - kFrames);
        EXPECT_EQ(cycles[index].mOutputTime.mSampleTime, sampleTime + 24 + kFrames);
        EXPECT_EQ(cycles[index].mCurrentTime.mHostTime,
                  fDriver.fZeroHostTime + UInt64(index) * kFrames * 1'000'000'000ull / 48000);
    }
    EXPECT_EQ(order.size(), cycles.size());
}

TEST_F(IORunnerCycles, OperationsThePlugInWillNotDoAreSkipped)
{
    fDriver.fZeroHostTime = DarwinClock::hostNow();
    fDriver.fWillDo = {kAudioServerPlugInIOOperationWriteMix};
    IORunner runner(fDriver.Ref(), Configuration(), nullptr);
    ASSERT_EQ(runner.Start(), 0);
    RunCycles(runner, 2);
    runner.Stop();
    for (const std::string& call : fDriver.Calls()) {
        EXPECT_EQ(call.find("read"), call.rfind("WillDo read", 0) == 0 ? 7u : std::string::npos) << call;
    }
}

// A device whose audio stopped (the computer going to sleep) answers no timestamp: the cycles keep
// the pace of the last one instead of running at once, one after the other.
TEST_F(IORunnerCycles, CyclesKeepTheirPaceWhenTheDeviceHasNoTimestamp)
{
    fDriver.fZeroHostTime = DarwinClock::hostNow();
    fDriver.fZeroSampleTime = 1000;
    fDriver.fNoTimeStampAfterCycle = 2;
    IORunner runner(fDriver.Ref(), Configuration(), nullptr);
    ASSERT_EQ(runner.Start(), 0);
    RunCycles(runner, 6);
    runner.Stop();
    const std::vector<AudioServerPlugInIOCycleInfo> cycles = fDriver.Cycles();
    ASSERT_GE(cycles.size(), 6u);
    for (size_t index = 0; index < cycles.size(); ++index) {
        EXPECT_EQ(cycles[index].mCurrentTime.mSampleTime, 1000 + Float64(index) * kFrames);
        EXPECT_EQ(cycles[index].mCurrentTime.mHostTime,
                  fDriver.fZeroHostTime + UInt64(index) * kFrames * 1'000'000'000ull / 48000)
            << index;
    }
}

// The device's audio starts again (after a wake) with a new time line: the next cycle follows it
// from its zero timestamp, instead of waiting until the new line reaches the old one's count.
TEST_F(IORunnerCycles, ANewTimeLineIsFollowedFromItsStart)
{
    fDriver.fZeroHostTime = DarwinClock::hostNow();
    fDriver.fZeroSampleTime = 100000;
    fDriver.fNewTimeLineAfterCycle = 2;
    fDriver.fNewZeroSampleTime = 0;
    fDriver.fNewZeroHostTime = fDriver.fZeroHostTime + 50'000'000;
    IORunner runner(fDriver.Ref(), Configuration(), nullptr);
    ASSERT_EQ(runner.Start(), 0);
    RunCycles(runner, 5);
    runner.Stop();
    const std::vector<AudioServerPlugInIOCycleInfo> cycles = fDriver.Cycles();
    ASSERT_GE(cycles.size(), 5u);
    EXPECT_EQ(cycles[1].mCurrentTime.mSampleTime, 100000 + kFrames);
    for (size_t index = 2; index < cycles.size(); ++index) {
        const UInt64 step = index - 2;
        EXPECT_EQ(cycles[index].mCurrentTime.mSampleTime, Float64(step * kFrames)) << index;
        EXPECT_EQ(cycles[index].mCurrentTime.mHostTime,
                  fDriver.fNewZeroHostTime + step * kFrames * 1'000'000'000ull / 48000)
            << index;
    }
}

TEST_F(IORunnerCycles, GoneDeviceEndsTheCycles)
{
    fDriver.fZeroHostTime = DarwinClock::hostNow();
    fDriver.fGoneFromCycle = 3;
    IORunner runner(fDriver.Ref(), Configuration(), nullptr);
    ASSERT_EQ(runner.Start(), 0);
    RunCycles(runner, 10);
    EXPECT_TRUE(runner.EndedByPlugIn());
    EXPECT_EQ(runner.CycleCount(), 2u);
    const size_t calls = fDriver.Calls().size();
    fClock.advance(1s);
    EXPECT_EQ(fDriver.Calls().size(), calls) << "no cycle after the end";
    runner.Stop();
}

} // namespace
