// The test module loaded as the audio server loads it, with the fakes of the kernel service and the
// re-enumeration daemon in this process. Each scenario needs a process of its own: the module's
// state is the process's, so each test runs its scenario in a run of this binary of its own.

#include "AudioServerHost.h"
#include "FakeKernelUserClient.h"
#include "FakeReenumerator.h"
#include "PlugInBundle.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace PlugInTesting;
using namespace std::chrono_literals;

namespace {

AudioObjectPropertyAddress Global(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

bool Contains(const std::vector<AudioObjectID>& ids, AudioObjectID id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

constexpr const char* kScenarioVariable = "TIDE_PLUGIN_MODULE_SCENARIO";

// True in the process that runs the current test's scenario. Elsewhere, runs this binary again for
// that test alone, with the variable naming it, and expects that run to pass.
bool InTheScenariosOwnProcess()
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    if (const char* scenario = std::getenv(kScenarioVariable); scenario != nullptr && name == scenario) {
        return true;
    }
    std::string filter = "--gtest_filter=" + name;
    std::string executable = "/proc/self/exe";
    char* arguments[] = {executable.data(), filter.data(), nullptr};
    std::string variable = std::string(kScenarioVariable) + "=" + name;
    std::vector<char*> environment{variable.data()};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.push_back(*entry);
    }
    environment.push_back(nullptr);
    pid_t child = 0;
    int status = 0;
    if (posix_spawn(&child, executable.c_str(), nullptr, nullptr, arguments, environment.data()) != 0) {
        ADD_FAILURE() << "no process for " << name;
        return false;
    }
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name << " in a process of its own";
    return false;
}

// The host lives as long as the process: the module may call it until the end.
AudioServerHost& LoadedHost()
{
    static std::unique_ptr<PlugInBundle> sBundle = PlugInBundle::Load(TIDE_TEST_PLUGIN_BUNDLE);
    static auto* sHost = new AudioServerHost(sBundle->Driver());
    return *sHost;
}

TEST(PlugInModule, LoadsAndAnswersAsThePlugInObject)
{
    if (!InTheScenariosOwnProcess()) {
        return;
    }
    AudioServerHost& host = LoadedHost();
    ASSERT_EQ(host.Initialize(), 0);
    UInt32 classID = 0;
    std::string manufacturer;
    EXPECT_EQ(host.GetUInt32(kAudioObjectPlugInObject, Global(kAudioObjectPropertyClass), classID), 0);
    EXPECT_EQ(classID, kAudioPlugInClassID);
    EXPECT_EQ(
        host.GetString(kAudioObjectPlugInObject, Global(kAudioObjectPropertyManufacturer), manufacturer), 0);
    EXPECT_EQ(manufacturer, "VORK, Inc.");
    EXPECT_TRUE(host.DeviceList().empty());
}

TEST(PlugInModule, PublishedServiceBecomesDevice32AndTerminationRemovesIt)
{
    if (!InTheScenariosOwnProcess()) {
        return;
    }
    AudioServerHost& host = LoadedHost();
    ASSERT_EQ(host.Initialize(), 0);
    FakeKernelService service("module01");
    service.publish();
    ASSERT_TRUE(
        host.WaitForDeviceList([](const std::vector<AudioObjectID>& ids) { return Contains(ids, 32); }));
    EXPECT_EQ(service.openCount(kAudioClientType), 1);
    service.terminate();
    EXPECT_TRUE(host.WaitForDeviceList([](const std::vector<AudioObjectID>& ids) { return ids.empty(); }));
    EXPECT_EQ(service.openCount(kAudioClientType), 0);
}

TEST(PlugInModule, DaemonCountsSevenResets)
{
    if (!InTheScenariosOwnProcess()) {
        return;
    }
    DarwinTesting::ManualClock clock;
    // Silent: each request ends when the clock reaches its 5 s, so every advance waits for the
    // module's loop to serve it, and the loop has nothing left in progress when the test ends.
    FakeReenumerator daemon(FakeReenumerator::Mode::Silent);
    AudioServerHost& host = LoadedHost();
    const uint64_t start = DarwinClock::hostNow();
    ASSERT_EQ(host.Initialize(), 0);
    std::vector<uint64_t> sent;
    const auto limit = std::chrono::steady_clock::now() + 60s;
    for (int request = 1; request <= 7; ++request) {
        // The module's loop is out of reach: move the clock deadline by deadline until the next
        // request arrives.
        while (!daemon.waitForMessages(request, 200ms)) {
            ASSERT_LT(DarwinClock::hostNow() - start, 60'000'000'000u) << "request " << request;
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << "request " << request;
            if (clock.nextDeadline() != DarwinClock::kNever) {
                clock.advanceTo(std::max(clock.nextDeadline(), DarwinClock::hostNow()));
            }
        }
        sent.push_back(DarwinClock::hostNow());
    }
    clock.advance(60s);
    EXPECT_EQ(daemon.resetCount(), 7);
    EXPECT_EQ(daemon.messageCount(), 7);
    EXPECT_EQ(sent.front(), start);
    // The timer went with the seventh request.
    EXPECT_EQ(clock.nextDeadline(), DarwinClock::kNever);
}

} // namespace
