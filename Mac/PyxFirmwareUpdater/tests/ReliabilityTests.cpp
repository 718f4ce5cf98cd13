// Every request of an update of a run-mode unit cut by a power loss, the unit back 500 ms later:
// the attempt ends with at most one outcome, never a success the unit does not hold, and a retry
// as a user makes it leaves the unit in run mode with the image.

#include "PyxUpdaterSupport.h"

#include <UpdateController.h>

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/ManualClock.h>

using namespace PyxUpdaterTests;
using namespace std::chrono_literals;

namespace {

constexpr uint8_t kPort = 7;
// A clean update of this unit: its header read, the reboot into recovery, the recovery header,
// the compare, three downloads with their polls, the verify and the reboot to the image; then the
// header read of the unit that came back.
constexpr size_t kCleanRequests = 14;
// The unit's arrivals reach the controller through its USB thread in real time, and the reboot
// time-out runs on the clock: fine steps leave that thread ten thousand of them to catch up.
constexpr std::chrono::milliseconds kStep{1};

class Outcomes : public UpdateControllerListener
{
public:
    void updateStarted() override {}
    void updateProgress() override {}
    void updateFailed(UpdateFailure) override { ++fFailed; }
    void updateSucceeded() override { ++fSucceeded; }
    void updateSourceChanged() override {}
    void updateDeviceCameBackOnline() override
    {
        ++fOnline;
        ++fArrivals;
    }
    void updateDeviceArrived() override { ++fArrivals; }

    int fFailed = 0;
    int fSucceeded = 0;
    int fOnline = 0;
    int fArrivals = 0;
};

class Reliability : public testing::TestWithParam<size_t>
{
protected:
    void SetUp() override
    {
        DriverKitPlatform::startUSB();
        fUnit->installImage(runImage(2500, 0));
        fUnit->powerOn();
        fController = std::make_unique<UpdateController>();
        fController->addListener(&fOutcomes);
    }
    void TearDown() override
    {
        fController->removeListener(&fOutcomes);
        fController.reset();
        fUnit->powerOff();
        SimUSB::Bus::shared().reset();
        SimUSB::Bus::shared().settle();
    }

    // Advances the unit's clock in steps until `condition` holds; false once `limit` of the unit's
    // time has gone by without it. The real-time guard only bounds a step that never returns.
    template <typename Condition>
    bool advanceUntil(Condition condition, std::chrono::milliseconds limit = 60000ms)
    {
        std::chrono::milliseconds moved{0};
        bool outOfTime = false;
        const bool held = DarwinTesting::eventually([&] {
            if (condition())
                return true;
            outOfTime = moved >= limit;
            if (outOfTime)
                return true;
            CoreFoundationTesting::advanceAndRun(fClock, kStep);
            moved += kStep;
            return false;
        });
        return held && !outOfTime;
    }
    bool deviceReady()
    {
        return fController->getDevice() && fController->getDevice()->isValid() && !fController->isRebooting();
    }

    DarwinTesting::ManualClock fClock;
    std::shared_ptr<Pyx::PyxUnit> fUnit = Pyx::PyxUnit::create(SimUSB::Bus::shared(), kPort,
                                                               {.vendorID = KorvanDeviceIdentities::kVendorID,
                                                                .rebootDelay = 50'000'000,
                                                                .reEnumerationDelay = 500'000'000});
    Outcomes fOutcomes;
    std::unique_ptr<UpdateController> fController;
    const std::vector<uint8_t> fImage = runImage(3000, 1);
};

} // namespace

TEST_F(Reliability, CleanUpdateMakesTheRequestsCounted)
{
    ASSERT_TRUE(advanceUntil([&] { return deviceReady(); }));
    fController->setUpdateSource(sourceOf(fImage));
    fController->beginUpdate();
    ASSERT_TRUE(advanceUntil([&] { return fOutcomes.fSucceeded == 1 && fOutcomes.fOnline == 1; }));
    EXPECT_EQ(shortLog(fUnit->requestLog()), "B U1024 U1024 D1024 S D1024 S D952 S U1024 U1024 U952 R");
    EXPECT_EQ(fUnit->requestLog().size(), kCleanRequests + 1);
}

TEST_P(Reliability, PowerLossAtEveryRequestAndARetry)
{
    fUnit->powerLossAtRequest(GetParam(), 500'000'000);
    ASSERT_TRUE(advanceUntil([&] { return deviceReady(); }));
    fController->setUpdateSource(sourceOf(fImage));
    const int arrivals = fOutcomes.fArrivals;
    fController->beginUpdate();
    // The attempt ends with exactly one outcome within the reboot time-out.
    EXPECT_TRUE(advanceUntil([&] { return fOutcomes.fSucceeded + fOutcomes.fFailed > 0; }, 12000ms));
    EXPECT_EQ(fOutcomes.fSucceeded + fOutcomes.fFailed, 1);
    if (fOutcomes.fSucceeded > 0) {
        EXPECT_EQ(fUnit->storedImage(), fImage);
    }
    // The retry: wait for the unit, hold BACK if it has not come within 10 s, and update again.
    if (!advanceUntil([&] { return fOutcomes.fArrivals > arrivals && deviceReady(); }, 10000ms)) {
        fUnit->holdBack(true);
        fUnit->powerOff();
        fUnit->powerOn();
        ASSERT_TRUE(advanceUntil([&] { return deviceReady(); }));
        fUnit->holdBack(false);
    }
    const int succeeded = fOutcomes.fSucceeded;
    const int online = fOutcomes.fOnline;
    fController->beginUpdate();
    ASSERT_TRUE(advanceUntil([&] { return fOutcomes.fSucceeded > succeeded && fOutcomes.fOnline > online; }));
    EXPECT_EQ(fUnit->storedImage(), fImage);
    EXPECT_EQ(fUnit->mode(), Pyx::Mode::Run);
    EXPECT_EQ(fUnit->overlappingRequests(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Requests, Reliability, testing::Range<size_t>(0, kCleanRequests));
