// The controller on the manual clock with simulated Pyx units on the shared bus: both reboots,
// the serial rules, the time-outs and the choice of device.

#include "PyxUpdaterSupport.h"

#include <UpdateController.h>

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/ManualClock.h>
#include <mach/mach_time.h>

#include <future>
#include <random>

using namespace PyxUpdaterTests;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kPort = 13;
constexpr uint8_t kOtherPort = 14;

class Recorder : public UpdateControllerListener
{
public:
    void updateStarted() override { fEvents.push_back("started"); }
    void updateProgress() override { ++fProgress; }
    void updateFailed(UpdateFailure failure) override
    {
        fEvents.push_back("failed " + std::to_string(failure.index()));
    }
    void updateSucceeded() override { fEvents.push_back("succeeded"); }
    void updateSourceChanged() override { fEvents.push_back("source"); }
    void updateDeviceArrived() override { fEvents.push_back("arrived"); }
    void updateDeviceRemoved() override { fEvents.push_back("removed"); }
    void updateDeviceCameBackOnline() override { fEvents.push_back("online"); }

    bool saw(const std::string& event) const
    {
        return std::find(fEvents.begin(), fEvents.end(), event) != fEvents.end();
    }

    std::vector<std::string> fEvents;
    int fProgress = 0;
};

constexpr size_t kErrRebootTimeout = 4;

class ControllerTest : public testing::Test
{
protected:
    void SetUp() override { DriverKitPlatform::startUSB(); }
    void TearDown() override
    {
        destroyController();
        for (auto& unit : fUnits)
            unit->powerOff();
        SimUSB::Bus::shared().reset();
        SimUSB::Bus::shared().settle();
    }

    std::shared_ptr<Pyx::PyxUnit> plug(uint8_t port, std::optional<std::vector<uint8_t>> stored,
                                       Pyx::PyxUnit::Options options = {})
    {
        options.vendorID = KorvanDeviceIdentities::kVendorID;
        options.rebootDelay = 1'000'000;
        options.reEnumerationDelay = 5'000'000;
        auto unit = Pyx::PyxUnit::create(SimUSB::Bus::shared(), port, options);
        if (stored)
            unit->installImage(*stored);
        unit->powerOn();
        fUnits.push_back(unit);
        return unit;
    }

    void makeController()
    {
        fController = std::make_unique<UpdateController>();
        fController->addListener(&fRecorder);
    }
    void destroyController()
    {
        if (fController)
            fController->removeListener(&fRecorder);
        // The tear-down's hand-offs to the USB thread and the pump are not the clock's.
        fController.reset();
    }

    // Moves the manual clock in small steps, serving this thread's loop, until `condition` holds.
    template <typename Condition>
    bool advanceUntil(Condition condition)
    {
        return DarwinTesting::eventually([&] {
            if (condition())
                return true;
            CoreFoundationTesting::advanceAndRun(fClock, 1ms);
            return false;
        });
    }
    bool deviceArrives()
    {
        return advanceUntil([&] { return fController->getDevice() != nullptr; });
    }

    DarwinTesting::ManualClock fClock;
    std::vector<std::shared_ptr<Pyx::PyxUnit>> fUnits;
    Recorder fRecorder;
    std::unique_ptr<UpdateController> fController;
};

} // namespace

// With clicks on every turn, a click during the update or either reboot starts nothing more.
class ControllerRunModeFlow : public ControllerTest, public testing::WithParamInterface<bool>
{};

TEST_P(ControllerRunModeFlow, RunModeDeviceIsUpdatedThroughBothReboots)
{
    const bool clicking = GetParam();
    const auto served = runImage(3000, 1);
    auto unit = plug(kPort, runImage(2500, 0));
    makeController();
    ASSERT_TRUE(deviceArrives());
    fController->setUpdateSource(sourceOf(served));
    fController->beginUpdate();
    ASSERT_TRUE(advanceUntil([&] {
        if (fRecorder.saw("online") && fRecorder.saw("succeeded"))
            return true;
        if (clicking)
            fController->beginUpdate();
        return false;
    }));
    EXPECT_EQ(unit->storedImage(), served);
    EXPECT_EQ(unit->mode(), Pyx::Mode::Run);
    const auto log = unit->requestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const auto& r) { return r.kind == Pyx::RequestKind::RebootIntoRecovery; }),
              1);
    EXPECT_EQ(fRecorder.fEvents.front(), "arrived");
    EXPECT_EQ(std::count(fRecorder.fEvents.begin(), fRecorder.fEvents.end(), "started"), 1);
    EXPECT_EQ(std::count(fRecorder.fEvents.begin(), fRecorder.fEvents.end(), "arrived"), 1);
    EXPECT_FALSE(fRecorder.saw("removed"));
    EXPECT_FALSE(fRecorder.saw("failed " + std::to_string(kErrRebootTimeout)));
    EXPECT_GT(fRecorder.fProgress, 0);
    EXPECT_FALSE(fController->isRebooting());
}

INSTANTIATE_TEST_SUITE_P(Clicks, ControllerRunModeFlow, testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "Clicking" : "Once"); });

struct SerialCase
{
    const char* name;
    std::string runSerial;
    std::string recoverySerial;
    bool sameDevice;
};

class ControllerSerials : public ControllerTest, public testing::WithParamInterface<SerialCase>
{};

TEST_P(ControllerSerials, RecoveryModeDeviceIsTheSameUnitByTheSerialRules)
{
    const SerialCase& c = GetParam();
    plug(kPort, runImage(2500, 0), {.runSerial = c.runSerial, .recoverySerial = c.recoverySerial});
    makeController();
    ASSERT_TRUE(deviceArrives());
    fController->setUpdateSource(sourceOf(runImage(3000, 1)));
    fController->beginUpdate();
    if (c.sameDevice) {
        ASSERT_TRUE(advanceUntil([&] { return fRecorder.saw("started"); }));
        EXPECT_EQ(std::count(fRecorder.fEvents.begin(), fRecorder.fEvents.end(), "arrived"), 1);
    } else {
        ASSERT_TRUE(advanceUntil(
            [&] { return std::count(fRecorder.fEvents.begin(), fRecorder.fEvents.end(), "arrived") == 2; }));
        EXPECT_FALSE(fRecorder.saw("started"));
        EXPECT_FALSE(fController->isRebooting());
    }
    EXPECT_FALSE(fRecorder.saw("failed " + std::to_string(kErrRebootTimeout)));
}

INSTANTIATE_TEST_SUITE_P(
    Serials, ControllerSerials,
    testing::Values(SerialCase{"RunDefaultThenRecoveryDefault", "PyxEFFFFFF", "VORKFFFFFF", true},
                    SerialCase{"RecoveryDefaultThenRunDefault", "VORKFFFFFF", "PyxEFFFFFF", true},
                    SerialCase{"RealThenDefault", "PYX0000042", "VORKFFFFFF", false},
                    SerialCase{"RealTwice", "PYX0000042", "PYX0000042", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControllerTest, StartsWithTheServerAsItsSource)
{
    makeController();
    ASSERT_NE(fController->getUpdateSource(), nullptr);
    EXPECT_TRUE(std::holds_alternative<VorkDownload>(fController->getUpdateSource()->source()));
    fController->setUpdateSource(nullptr);
    auto unit = plug(kPort, runImage(2500, 0));
    ASSERT_TRUE(deviceArrives());
    // Without a source a click starts nothing.
    fController->beginUpdate();
    EXPECT_FALSE(fController->isRebooting());
    EXPECT_EQ(unit->mode(), Pyx::Mode::Run);
}

TEST_F(ControllerTest, RecoveryModeDeviceStartsAtOnceWithoutATimeOut)
{
    auto unit = plug(kPort, std::nullopt);
    makeController();
    ASSERT_TRUE(deviceArrives());
    fController->setUpdateSource(sourceOf(runImage(3000, 1)));
    fController->beginUpdate();
    EXPECT_FALSE(fController->isRebooting());
    ASSERT_TRUE(advanceUntil([&] { return fRecorder.saw("online"); }));
    EXPECT_TRUE(fRecorder.saw("succeeded"));
    EXPECT_EQ(unit->storedImage(), runImage(3000, 1));
}

// The main thread is away while the engine asks for the reboot and the unit leaves at once: both
// the engine's news and the unit's leaving wait for it, and the leaving is still the reboot.
TEST_F(ControllerTest, UnitLeavingBeforeTheRebootNewsIsReadIsTheReboot)
{
    auto unit = plug(kPort, std::nullopt);
    makeController();
    ASSERT_TRUE(deviceArrives());
    fController->setUpdateSource(sourceOf(runImage(3000, 1)));
    fController->beginUpdate();
    const auto asked = [&](Pyx::RequestKind kind) {
        const auto log = unit->requestLog();
        return std::any_of(log.begin(), log.end(), [&](const auto& r) { return r.kind == kind; });
    };
    // The image is read on the main thread; the writing goes on without it.
    ASSERT_TRUE(advanceUntil([&] { return asked(Pyx::RequestKind::Download); }));
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        if (asked(Pyx::RequestKind::RebootToApplication) && unit->mode() != Pyx::Mode::Recovery)
            return true;
        fClock.advance(100us);
        return false;
    }));
    SimUSB::Bus::shared().settle();
    ASSERT_TRUE(advanceUntil([&] { return fRecorder.saw("online") && fRecorder.saw("succeeded"); }));
    EXPECT_FALSE(fRecorder.saw("removed"));
    EXPECT_EQ(std::count(fRecorder.fEvents.begin(), fRecorder.fEvents.end(), "arrived"), 1);
    EXPECT_EQ(unit->storedImage(), runImage(3000, 1));
}

TEST_F(ControllerTest, RebootTimeOutIsReportedAtTenSecondsForEachReboot)
{
    auto unit = plug(kPort, runImage(2500, 0));
    makeController();
    ASSERT_TRUE(deviceArrives());
    fController->setUpdateSource(sourceOf(runImage(3000, 1)));
    for (int attempt = 0; attempt < 2; ++attempt) {
        unit->setNeverComeBack(attempt == 0);
        fController->beginUpdate();
        if (attempt == 0) {
            CoreFoundationTesting::advanceAndRun(fClock, 9999ms);
            EXPECT_FALSE(fRecorder.saw("failed " + std::to_string(kErrRebootTimeout)));
            CoreFoundationTesting::advanceAndRun(fClock, 1ms);
            EXPECT_TRUE(fRecorder.saw("failed " + std::to_string(kErrRebootTimeout)));
            EXPECT_FALSE(fRecorder.saw("removed"));
            // The user brings the unit back by hand.
            unit->setNeverComeBack(false);
            unit->powerOff();
            unit->powerOn();
            ASSERT_TRUE(advanceUntil([&] {
                return fController->getDevice() && !fController->isRebooting() &&
                       std::holds_alternative<UpdateDevice::RecoveryMode>(fController->getDevice()->mode());
            }));
        } else {
            // The second reboot, into the run image, never ends: the unit stays away after it.
            unit->setNeverComeBack(true);
            ASSERT_TRUE(advanceUntil([&] { return fController->isRebooting(); }));
            // The engine's success follows its reboot request's completion on the USB thread: small
            // steps let it arrive long before the reboot's time-out, however late that thread runs.
            const uint64_t rebootStart = mach_absolute_time();
            ASSERT_TRUE(DarwinTesting::eventually([&] {
                CoreFoundationTesting::advanceAndRun(fClock, 100us);
                return fRecorder.saw("succeeded");
            }));
            const auto waited = std::chrono::nanoseconds(mach_absolute_time() - rebootStart);
            ASSERT_LT(waited, 9990ms);
            CoreFoundationTesting::advanceAndRun(fClock, 9990ms - waited);
            EXPECT_EQ(std::count(fRecorder.fEvents.begin(), fRecorder.fEvents.end(),
                                 "failed " + std::to_string(kErrRebootTimeout)),
                      1);
            ASSERT_TRUE(advanceUntil([&] {
                return std::count(fRecorder.fEvents.begin(), fRecorder.fEvents.end(),
                                  "failed " + std::to_string(kErrRebootTimeout)) == 2;
            }));
        }
    }
}

TEST_F(ControllerTest, SecondDeviceIsIgnoredDuringAnUpdateAndTakenWhileIdle)
{
    auto first = plug(kPort, std::nullopt);
    makeController();
    ASSERT_TRUE(deviceArrives());
    const auto image = runImage(40 * 1024, 1);
    first->holdRequest(first->requestLog().size() + 10);
    fController->setUpdateSource(sourceOf(image));
    fController->beginUpdate();
    ASSERT_TRUE(advanceUntil([&] { return first->requestHeld(); }));
    auto second = plug(kOtherPort, std::nullopt, {.recoverySerial = "PYX0000077"});
    CoreFoundationTesting::advanceAndRun(fClock, 3000ms);
    first->releaseHeldRequest();
    ASSERT_TRUE(advanceUntil([&] { return fRecorder.saw("succeeded"); }));
    EXPECT_EQ(first->storedImage(), image);
    EXPECT_TRUE(second->storedImage().empty());
    EXPECT_EQ(std::count(fRecorder.fEvents.begin(), fRecorder.fEvents.end(), "arrived"), 1);
    // Idle now: unplugged and plugged in again, the second unit replaces the first.
    second->powerOff();
    second->powerOn();
    ASSERT_TRUE(advanceUntil(
        [&] { return std::count(fRecorder.fEvents.begin(), fRecorder.fEvents.end(), "arrived") >= 2; }));
}

TEST_F(ControllerTest, SourceChosenDuringAnUpdateIsWrittenByTheNext)
{
    auto unit = plug(kPort, std::nullopt);
    makeController();
    ASSERT_TRUE(deviceArrives());
    fController->setUpdateSource(sourceOf(runImage(3000, 1)));
    fController->beginUpdate();
    ASSERT_TRUE(advanceUntil([&] { return fRecorder.fProgress > 0; }));
    const auto chosen = runImage(5000, 2);
    fController->setUpdateSource(sourceOf(chosen));
    ASSERT_TRUE(advanceUntil([&] { return fRecorder.saw("online"); }));
    EXPECT_EQ(unit->storedImage(), runImage(3000, 1));
    fRecorder.fEvents.clear();
    fController->beginUpdate();
    ASSERT_TRUE(advanceUntil([&] { return fRecorder.saw("online") && fRecorder.saw("succeeded"); }));
    EXPECT_EQ(unit->storedImage(), chosen);
}

TEST_F(ControllerTest, ControllerDestroyedMidDownloadLeavesADeviceANewOneUpdates)
{
    auto unit = plug(kPort, std::nullopt);
    makeController();
    ASSERT_TRUE(deviceArrives());
    const auto image = runImage(20 * 1024, 1);
    // The unit stays busy after its first block, so the engine polls it until it is destroyed.
    unit->setBusyForever(true);
    fController->setUpdateSource(sourceOf(image));
    fController->beginUpdate();
    ASSERT_TRUE(advanceUntil([&] { return unit->requestLog().size() > 20; }));
    // The request in progress may take up to the platform's request time-out, on the clock.
    auto destroyed = std::async(std::launch::async, [&] { destroyController(); });
    ASSERT_TRUE(DarwinTesting::eventually([&] {
        if (destroyed.wait_for(0s) == std::future_status::ready)
            return true;
        fClock.advance(10ms);
        return false;
    }));
    unit->setBusyForever(false);
    EXPECT_NE(unit->storedImage(), image);
    EXPECT_EQ(unit->mode(), Pyx::Mode::Recovery);
    fRecorder.fEvents.clear();
    makeController();
    ASSERT_TRUE(deviceArrives());
    fController->setUpdateSource(sourceOf(image));
    fController->beginUpdate();
    ASSERT_TRUE(advanceUntil([&] { return fRecorder.saw("online") && fRecorder.saw("succeeded"); }));
    EXPECT_EQ(unit->storedImage(), image);
}

// Twenty updates back to back with the main thread reading progress on every turn and clicking at
// random, a second unit coming and going, and a final unplug amid the progress messages: every
// update ends, each with exactly one outcome, and the last one with the device gone.
TEST_F(ControllerTest, StressOfUpdatesClicksAndASecondUnit)
{
    constexpr int kUpdates = 20;
    constexpr size_t kImageSize = 256 * 1024;
    const unsigned seed = testing::UnitTest::GetInstance()->random_seed();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto unit = plug(kPort, runImage(kImageSize, 0));
    auto second = plug(kOtherPort, std::nullopt, {.recoverySerial = "PYX0000099"});
    second->powerOff();
    makeController();
    ASSERT_TRUE(deviceArrives());
    const auto outcomes = [&] {
        return std::count_if(
            fRecorder.fEvents.begin(), fRecorder.fEvents.end(),
            [](const std::string& event) { return event == "succeeded" || event.rfind("failed", 0) == 0; });
    };
    const auto started = [&] {
        return std::count(fRecorder.fEvents.begin(), fRecorder.fEvents.end(), "started");
    };
    bool secondPlugged = false;
    for (int update = 0; update < kUpdates; ++update) {
        const bool last = update == kUpdates - 1;
        unit->setBusyPolls(unsigned(random() % 6));
        unit->setBusyForever(last);
        const size_t requestsBefore = unit->requestLog().size();
        bool unplugged = false;
        const auto source = sourceOf(runImage(kImageSize, uint32_t(update + 1), uint8_t(update)));
        fController->setUpdateSource(source);
        const long outcomesBefore = outcomes();
        fController->beginUpdate();
        const bool ended = advanceUntil([&] {
            USBUpdater::EBusyState busy;
            unsigned long done = 0;
            unsigned long total = 0;
            fController->getUpdateProgress(busy, done, total);
            EXPECT_LE(done, total);
            const bool running = started() > outcomesBefore && outcomes() == outcomesBefore;
            if (running) {
                switch (random() % 64) {
                case 0:
                    fController->setUpdateSource(source);
                    break;
                case 1:
                    fController->beginUpdate();
                    break;
                case 2:
                    secondPlugged ? second->powerOff() : second->powerOn();
                    secondPlugged = !secondPlugged;
                    break;
                default:
                    break;
                }
                // The unit stays busy after its first block of the last update, so the engine
                // polls it at once without end, each poll a progress message: it leaves amid them.
                if (last && !unplugged && unit->requestLog().size() > requestsBefore + 200) {
                    unit->powerOff();
                    unplugged = true;
                }
            } else if (secondPlugged) {
                // Idle, the second unit would replace the first: it leaves once the update has ended.
                second->powerOff();
                secondPlugged = false;
            }
            return outcomes() > outcomesBefore && (last || fRecorder.saw("online"));
        });
        ASSERT_TRUE(ended) << "update " << update << ": "
                           << testing::PrintToString(std::vector<std::string>(
                                  fRecorder.fEvents.end() -
                                      std::min<long>(12, long(fRecorder.fEvents.size())),
                                  fRecorder.fEvents.end()))
                           << ", " << unit->requestLog().size() << " requests, mode " << int(unit->mode());
        if (!last) {
            ASSERT_TRUE(
                advanceUntil([&] { return fController->getDevice() && !fController->isRebooting(); }));
            EXPECT_EQ(unit->storedImage(), runImage(kImageSize, uint32_t(update + 1), uint8_t(update)));
            fRecorder.fEvents.erase(std::remove(fRecorder.fEvents.begin(), fRecorder.fEvents.end(), "online"),
                                    fRecorder.fEvents.end());
        }
        EXPECT_EQ(started(), outcomes());
    }
    // The unplug ends the last update with a failure: the request that meets the empty port, or
    // the removal, whichever comes first.
    // The failure can come before the removal's notice: wait for the notice.
    EXPECT_TRUE(advanceUntil([&] { return fRecorder.saw("removed"); }));
    const auto lastOutcome =
        std::find_if(fRecorder.fEvents.rbegin(), fRecorder.fEvents.rend(), [](const std::string& event) {
            return event == "succeeded" || event.rfind("failed", 0) == 0;
        });
    ASSERT_NE(lastOutcome, fRecorder.fEvents.rend());
    EXPECT_EQ(lastOutcome->rfind("failed", 0), 0u) << *lastOutcome;
    EXPECT_TRUE(second->storedImage().empty());
}
