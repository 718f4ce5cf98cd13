// The FPGA stage cut at every point, by a power loss or by the updater quitting, never leaves a unit
// that does not boot, and a fresh updater used as a user would finishes the job.
#include "FpgaRunHarness.h"

#include "USB_FPGAAdapter.h"

#include <atomic>
#include <thread>

using namespace UpdaterTests;
using Face = Wrenlet::WrenletHardware::Face;

namespace {

using Requests = std::vector<JtagTarget::Request>;

bool IsBatch(const JtagTarget::Request& request)
{
    return request.requestType == 0x40 && request.request == 2;
}

struct Point
{
    const char* name;
    // The JTAG request of an uninterrupted stage (counted from 1) after which the cut comes; 0 when the
    // cut comes elsewhere.
    std::function<unsigned(const Requests&)> afterJtagRequest;
    // Else the run-mode vendor request the power loss replaces, or 0 for the wait in state 12.
    uint8_t vendorRequest;
};

unsigned Share(const Requests& requests, unsigned percent)
{
    return unsigned(requests.size() * percent / 100);
}

const Point kPoints[] = {
    {"FirstProgramEnable", {}, 1},
    {"FirstIRScan",
     [](const Requests& requests) {
         return unsigned(std::find_if(requests.begin(), requests.end(), IsBatch) - requests.begin()) + 1;
     },
     0},
    {"TenPercent", [](const Requests& requests) { return Share(requests, 10); }, 0},
    {"Half", [](const Requests& requests) { return Share(requests, 50); }, 0},
    {"NinetyPercent", [](const Requests& requests) { return Share(requests, 90); }, 0},
    {"FinalFlush",
     [](const Requests& requests) {
         return unsigned(requests.rend() - std::find_if(requests.rbegin(), requests.rend(), IsBatch));
     },
     0},
    {"ProgramEnableOff", [](const Requests& requests) { return unsigned(requests.size()); }, 0},
    {"Reset", {}, 4},
    {"WaitingInState12", {}, 0},
};

void PrintTo(const Point& point, std::ostream* out)
{
    *out << point.name;
}

enum class How
{
    PowerOff,
    Quit,
};

class WrenletFpgaInterruption : public WrenletFpgaRun,
                                public testing::WithParamInterface<std::tuple<Point, How>>
{
protected:
    // An uninterrupted stage, whose JTAG requests place the cuts; the flash is current after it.
    Requests FirstUpdate()
    {
        Connect();
        fDelegate->UpdateButton->performClick();
        EXPECT_TRUE(RunToEnd());
        EXPECT_EQ(Progress(), "Success!");
        Quit();
        fUnit->powerOff();
        fUnit->setFpgaVersion("7.4");
        return JtagRequests();
    }

    // Steps until the cut has come: the updater quits there, or the power comes back 50 ms later.
    void Cut(const Point& point, How how, const Requests& requests)
    {
        std::atomic<bool> reached = false;
        const unsigned after = point.afterJtagRequest     ? point.afterJtagRequest(requests)
                               : point.vendorRequest == 1 ? 1
                                                          : 0;
        if (how == How::PowerOff && point.vendorRequest != 0) {
            fUnit->powerOffOnRequest(point.vendorRequest);
        } else if (how == How::PowerOff && after != 0) {
            fUnit->powerOffAfterJtagRequest(after);
        } else if (after != 0) {
            fUnit->withJtag([&](JtagTarget& target) { target.onRequest(after, [&] { reached = true; }); });
        }
        fDelegate->UpdateButton->performClick();
        if (how == How::Quit) {
            ASSERT_TRUE(RunUntilStageEnds([&] {
                return after != 0 ? reached.load() : TheUpdater().GetState() == Updater::kRebootingAfterFPGA;
            }));
            Quit();
            return;
        }
        if (after == 0 && point.vendorRequest == 0) {
            ASSERT_TRUE(
                RunUntilStageEnds([&] { return TheUpdater().GetState() == Updater::kRebootingAfterFPGA; }));
            fUnit->powerOff();
        }
        // The request the unit powers off on reaches it on real time: past a few simulated seconds the
        // clock waits for it, so that the reboot's 30 s limit is not what ends the update.
        ASSERT_TRUE(RunUntil(
            [&] { return fUnit->face() == Face::Off && TheUpdater().GetState() != Updater::kWritingFPGA; },
            5s));
        if (TheUpdater().GetState() == Updater::kRebootingAfterFPGA) {
            // The stage ended well and the unit is back within the reboot's limit: the update goes on.
            Step(50ms);
            fUnit->powerOn();
            ASSERT_TRUE(RunToEnd());
            EXPECT_EQ(Progress(), "Success!");
        } else {
            ASSERT_TRUE(RunUntilStageEnds([&] { return TheUpdater().GetState() == Updater::kIdle; }));
            EXPECT_TRUE(DeviceText() == "No Wrenlet detected. Please check cables." ||
                        Progress() == "FPGA Write Failed")
                << DeviceText() << " / " << Progress();
        }
        Quit();
    }
};

TEST_P(WrenletFpgaInterruption, UnitBootsAndAFreshUpdaterFinishesTheJob)
{
    const auto& [point, how] = GetParam();
    const Requests requests = FirstUpdate();
    Connect();
    Cut(point, how, requests);
    Step(1s);
    ASSERT_FALSE(fUnit->isBricked());
    if (fUnit->face() == Face::Off) {
        fUnit->powerOn();
    }
    ASSERT_TRUE(RunUntil([&] { return fUnit->face() == Face::RunMode; }, 5s));
    LaunchWithPlayer();
    ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s));
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Progress(), "Success!");
    EXPECT_EQ(fUnit->fpgaVersion(), kFPGAVersion);
}

std::string RowName(const testing::TestParamInfo<std::tuple<Point, How>>& info)
{
    return std::string(std::get<0>(info.param).name) +
           (std::get<1>(info.param) == How::Quit ? "Quit" : "PowerOff");
}

INSTANTIATE_TEST_SUITE_P(Table, WrenletFpgaInterruption,
                         testing::Combine(testing::ValuesIn(kPoints),
                                          testing::Values(How::PowerOff, How::Quit)),
                         RowName);

using Stall = FpgaProgramSpec::Stall;

// Fault: quitting only detached the unit and joined the run, which went on where it had no request
// left to fail: through a WAIT to its end, or round a loop that clocks nothing, for ever.
class WrenletFpgaQuit : public WrenletFpgaRun, public testing::WithParamInterface<Stall>
{
protected:
    // The IDCODE check reads 32 bits; the stall's preamble reads the next.
    static constexpr size_t kIdcodeReads = 32;

    size_t Reads()
    {
        const Requests requests = JtagRequests();
        return size_t(std::count_if(requests.begin(), requests.end(), [](const JtagTarget::Request& request) {
            return request.requestType == 0xC0 && request.request == JtagTarget::kRequestClocks;
        }));
    }
};

TEST_P(WrenletFpgaQuit, QuitEndsAStalledRunWhileTheClockStands)
{
    const Stall stall = GetParam();
    fContainer = FirmwareContainer::FromParts(
        "2.2", kFPGAVersion,
        Programs([stall](char, FpgaProgramSpec& spec) { spec.stallAfterEnable = stall; }));
    fUnit->powerOn();
    // The run is no work the clock waits for: it stalls, and the clock stands still from then on.
    LaunchWith([](std::stop_token stop, std::weak_ptr<USB_FPGA::Client> client, std::shared_ptr<WRNA> device,
                  const std::string& action, const uint8_t* data, size_t length) {
        jam(std::move(stop), std::move(client), std::move(device), action, data, length);
    });
    ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s));
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunUntilStageEnds([&] { return Reads() > kIdcodeReads; }));
    const uint64_t stalled = DarwinClock::hostNow();

    std::atomic<bool> quitReturned = false;
    std::thread rescue([&] {
        if (!DarwinTesting::eventually([&] { return quitReturned.load(); })) {
            // The run holds the quit, which the check below reports: end it so that the test ends.
            USB_FPGA::RequestStop();
            fClock.advance(31min);
        }
    });
    Quit();
    quitReturned = true;
    rescue.join();
    EXPECT_EQ(DarwinClock::hostNow(), stalled) << "the quit waited for time to pass";
    const std::vector<std::string> printed = Printed();
    EXPECT_NE(
        std::find_if(printed.begin(), printed.end(),
                     [](const std::string& line) { return line.find("execution cancelled") != line.npos; }),
        printed.end());
}

INSTANTIATE_TEST_SUITE_P(Stalls, WrenletFpgaQuit, testing::Values(Stall::LongWait, Stall::Loop),
                         [](const testing::TestParamInfo<Stall>& info) {
                             return info.param == Stall::LongWait ? "LongWait" : "Loop";
                         });

} // namespace
