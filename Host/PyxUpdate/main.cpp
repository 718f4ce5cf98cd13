// tide-pyx-update: a whole Pyx update on real time, as a user makes it. A simulated Pyx holding
// 1.0.0 sits on the simulated bus in run mode; the firmware server model on loopback offers 1.1.0
// (200 KiB). The updater's controller finds the unit, takes the image from the server (or from
// --file PATH), and the update is started: every event is printed with the time since the start,
// with a line per phase of the engine, and the bus's traffic goes to pyx-update.pcap in the output
// folder. "PASS" once the unit is back in run mode holding the image byte for byte.
//
//   --recovery          the unit starts in recovery mode (BACK held while it powers on)
//   --file PATH         the run image from this file instead of the server
//   --interrupt-at N    the unit loses power at its request N (0 = its first) and is back 500 ms
//                       later; the user then retries, holding BACK if it does not show up
//   --out FOLDER        where pyx-update.pcap goes

#include <UpdateController.h>
#include <UpdateSource.h>

#include <CoreFoundation/CFRunLoop.h>
#include <DriverKit/platform/Drivers.h>
#include <FoundationTesting/URLLoading.h>
#include <KorvanDeviceIdentities.h>
#include <Pyx/PyxUnit.h>
#include <Pyx/RunImage.h>
#include <SimNetwork/FirmwareServer.h>
#include <SimNetwork/PyxFirmwareRoutes.h>
#include <SimUSB/Bus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;
namespace Routes = SimNetwork::PyxRoutes;

namespace {

constexpr uint8_t kPort = 5;
constexpr int kAttempts = 3;
const Pyx::RunImageSpec kInstalled{.major = 1, .minor = 0, .patch = 0, .build = "demo-factory"};
const Pyx::RunImageSpec kOffered{.major = 1, .minor = 1, .patch = 0, .build = "demo-release"};

struct Options
{
    bool recovery = false;
    std::string file;
    std::optional<size_t> interruptAt;
    std::string outputFolder = TIDE_DEMO_DEFAULT_OUTPUT;
    bool help = false;
};

const char* kUsage = "usage: tide-pyx-update [--recovery] [--file PATH] [--interrupt-at N] [--out FOLDER]\n";

std::optional<Options> parse(int argc, char** argv)
{
    Options options;
    for (int index = 1; index < argc; ++index) {
        const std::string name = argv[index];
        const bool hasValue = index + 1 < argc;
        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--recovery") {
            options.recovery = true;
        } else if (name == "--file" && hasValue) {
            options.file = argv[++index];
        } else if (name == "--interrupt-at" && hasValue) {
            char* end = nullptr;
            const unsigned long value = std::strtoul(argv[++index], &end, 10);
            if (*end != '\0' || argv[index][0] == '\0')
                return std::nullopt;
            options.interruptAt = value;
        } else if (name == "--out" && hasValue) {
            options.outputFolder = argv[++index];
        } else {
            return std::nullopt;
        }
    }
    return options;
}

// The unit's requests from `from` on, one line per phase: consecutive requests of one kind, a
// download with its status polls counting as one.
std::vector<std::string> phases(const std::vector<Pyx::RequestRecord>& log, size_t from)
{
    std::vector<std::string> lines;
    bool downloaded = false;
    for (size_t index = from; index < log.size();) {
        const Pyx::RequestKind kind = log[index].kind;
        const auto sameRun = [&](Pyx::RequestKind next) {
            return next == kind ||
                   (kind == Pyx::RequestKind::Download && next == Pyx::RequestKind::GetStatus);
        };
        size_t count = 0;
        size_t bytes = 0;
        size_t polls = 0;
        for (; index < log.size() && sameRun(log[index].kind); ++index) {
            polls += log[index].kind == Pyx::RequestKind::GetStatus;
            count += log[index].kind == kind;
            bytes += log[index].kind == kind ? log[index].bytes : 0;
        }
        switch (kind) {
        case Pyx::RequestKind::Upload:
            // Before the write: the installed header and the compare; after it: the verify.
            lines.push_back(std::string(downloaded ? "verify" : "header and compare") + ": " +
                            std::to_string(count) + " blocks read back, " + std::to_string(bytes) + " bytes");
            break;
        case Pyx::RequestKind::Download:
            downloaded = true;
            lines.push_back("write: " + std::to_string(count) + " blocks, " + std::to_string(bytes) +
                            " bytes, " + std::to_string(polls) + " status polls");
            break;
        case Pyx::RequestKind::RebootIntoRecovery:
            lines.push_back("reboot into recovery mode");
            break;
        case Pyx::RequestKind::RebootToApplication:
            lines.push_back("reboot into the run image");
            break;
        case Pyx::RequestKind::ReadHeader:
            lines.push_back("installed version read");
            break;
        default:
            lines.push_back(std::to_string(count) + " other requests");
            break;
        }
    }
    return lines;
}

const char* failureName(const UpdateFailure& failure)
{
    constexpr const char* names[] = {"I/O failed", "device removed", "verify failed", "no run image",
                                     "reboot time-out"};
    return names[failure.index()];
}

// tshark decodes DFU requests only for the devices named to it: the unit in recovery mode, by bus 1
// and its address.
std::string dfuDecodeHint(const std::set<uint8_t>& addresses)
{
    if (addresses.empty())
        return "";
    std::string hint = "; the update's DFU requests decode with";
    for (const uint8_t address : addresses)
        hint += " -d usb.device==" + std::to_string(0x10000 | address) + ",usbdfu";
    return hint;
}

// Prints the controller's events as they reach the main thread.
class Narrator : public UpdateControllerListener
{
public:
    explicit Narrator(UpdateController& controller) : fController(controller) {}

    void updateStarted() override
    {
        ++fStarted;
        // The unit is in recovery mode now: its address is the one whose traffic decodes as DFU.
        if (const auto device = SimUSB::Bus::shared().device(kPort))
            fRecoveryAddresses.insert(device->address());
        say("update started");
    }
    void updateProgress() override { ++fProgressMessages; }
    void updateFailed(UpdateFailure failure) override
    {
        ++fFailed;
        say(std::string("update failed: ") + failureName(failure));
    }
    void updateSucceeded() override
    {
        ++fSucceeded;
        say("update succeeded");
    }
    void updateSourceChanged() override { say("update source changed"); }
    void updateDeviceArrived() override
    {
        ++fArrivals;
        say("device arrived");
    }
    void updateDeviceRemoved() override { say("device removed"); }
    void updateDeviceCameBackOnline() override
    {
        ++fOnline;
        say("device came back online");
    }

    void say(const std::string& text) const
    {
        const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - fStart).count();
        std::printf("%8.3f s  %s\n", elapsed, text.c_str());
        std::fflush(stdout);
    }

    int fStarted = 0;
    int fFailed = 0;
    int fSucceeded = 0;
    int fOnline = 0;
    int fProgressMessages = 0;
    int fArrivals = 0;
    std::set<uint8_t> fRecoveryAddresses;

private:
    UpdateController& fController;
    const std::chrono::steady_clock::time_point fStart = std::chrono::steady_clock::now();
};

// Serves the main loop until `condition` holds or `limit` of real time has passed.
template <typename Condition>
bool runUntil(Condition condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    }
    return true;
}

// A version text as it reads: the build bytes' zero padding left out.
std::string printable(std::string text)
{
    std::erase(text, '\0');
    return text;
}

std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class Demo
{
public:
    explicit Demo(const Options& options) : fOptions(options) {}

    int run()
    {
        fExpected = fOptions.file.empty() ? fOffered : readFile(fOptions.file);

        std::filesystem::create_directories(fOptions.outputFolder);
        const std::string capture =
            (std::filesystem::path(fOptions.outputFolder) / "pyx-update.pcap").string();
        DriverKitPlatform::startUSB();
        if (!SimUSB::Bus::shared().startCapture(capture)) {
            std::printf("FAIL: cannot write %s\n", capture.c_str());
            return 1;
        }
        fUnit = Pyx::PyxUnit::create(SimUSB::Bus::shared(), kPort,
                                     {.vendorID = KorvanDeviceIdentities::kVendorID});
        fUnit->installImage(Pyx::buildRunImage(kInstalled));
        fUnit->holdBack(fOptions.recovery);
        if (fOptions.interruptAt)
            fUnit->powerLossAtRequest(*fOptions.interruptAt, 500'000'000);
        fUnit->powerOn();

        const int status = update();
        fController.removeListener(&fNarrator);
        SimUSB::Bus::shared().stopCapture();
        fUnit->powerOff();
        std::printf("capture: %s (read it with tshark -r pyx-update.pcap%s)\n", capture.c_str(),
                    dfuDecodeHint(fNarrator.fRecoveryAddresses).c_str());
        std::printf("%s\n", status == 0 ? "PASS" : "FAIL");
        return status;
    }

private:
    int update()
    {
        fController.addListener(&fNarrator);
        fNarrator.say("the server offers " + Routes::imageAddress("pyx.update") + ", the unit holds " +
                      Pyx::versionText(kInstalled) +
                      (fOptions.recovery ? " (started in recovery mode)" : ""));
        // The controller starts with the server as its source; a file is chosen as a user would.
        if (!fOptions.file.empty())
            fController.setUpdateSource(std::make_shared<UpdateSource>(
                Pellix::FileSpecification(UString(fOptions.file.c_str(), UString::kUTF8))));
        const std::shared_ptr<UpdateSource> source = fController.getUpdateSource();
        std::optional<std::optional<AcquisitionError>> version;
        source->acquireVersionInfo(
            [&](UpdateSource*, std::optional<AcquisitionError> error) { version = std::move(error); });
        if (!runUntil([&] { return version.has_value(); }, 30s) || *version) {
            fNarrator.say("no version to install: " +
                          (version ? (*version)->getDescription().utf8_str() : std::string("no answer")));
            return 1;
        }
        fNarrator.say("version to install: " + printable(source->getVersionInfo()));
        if (fOptions.recovery) {
            if (!runUntil([&] { return deviceReady(); }, 30s))
                return fail("the unit did not show up");
            fUnit->holdBack(false);
        }
        for (int attempt = 1; attempt <= kAttempts; ++attempt) {
            if (!runUntil([&] { return deviceReady(); }, 10s) && !powerCycleHoldingBack())
                return fail("the unit did not show up");
            const auto description = fController.getDevice()->getDescription();
            fNarrator.say("unit " + description.serial + " runs " +
                          printable(description.version.toString()) + "; Update now (attempt " +
                          std::to_string(attempt) + ")");
            const int succeeded = fNarrator.fSucceeded;
            const int failed = fNarrator.fFailed;
            const int arrivals = fNarrator.fArrivals;
            const size_t firstRequest = fUnit->requestLog().size();
            fController.beginUpdate();
            const bool ended =
                runUntil([&] { return fNarrator.fSucceeded > succeeded || fNarrator.fFailed > failed; }, 60s);
            if (!ended)
                return fail("the update did not end");
            for (const std::string& line : phases(fUnit->requestLog(), firstRequest))
                fNarrator.say("  " + line);
            fNarrator.say("  " + std::to_string(fNarrator.fProgressMessages) + " progress messages so far");
            if (fNarrator.fSucceeded > succeeded) {
                if (!runUntil([&] { return fNarrator.fOnline > 0 && deviceReady(); }, 30s))
                    return fail("the unit did not come back online");
                return check();
            }
            // The user waits for the unit to show up again, as it does after a power loss (it may
            // have come back already: a reboot into recovery mode that did not take).
            fNarrator.say("the user waits for the unit and tries again");
            if (!runUntil([&] { return fNarrator.fArrivals > arrivals && deviceReady() && !engineBusy(); },
                          10s) &&
                !powerCycleHoldingBack())
                return fail("the unit did not show up");
        }
        return fail("no attempt succeeded");
    }

    bool deviceReady() const
    {
        const auto device = fController.getDevice();
        return device && device->isValid() && !fController.isRebooting();
    }

    bool engineBusy() const
    {
        USBUpdater::EBusyState busy = USBUpdater::NotBusy;
        unsigned long done = 0;
        unsigned long total = 0;
        fController.getUpdateProgress(busy, done, total);
        return busy != USBUpdater::NotBusy;
    }

    // As a user does with a unit that stays away: unplug it, hold BACK, plug it in again.
    bool powerCycleHoldingBack()
    {
        fNarrator.say("the unit is not there: power cycled with BACK held");
        fUnit->holdBack(true);
        fUnit->powerOff();
        fUnit->powerOn();
        const bool back = runUntil([&] { return deviceReady(); }, 30s);
        fUnit->holdBack(false);
        return back;
    }

    int check() const
    {
        const bool runMode = fUnit->mode() == Pyx::Mode::Run;
        const bool same = fUnit->storedImage() == fExpected;
        fNarrator.say(std::string("unit in ") + (runMode ? "run" : "recovery") + " mode, stored image " +
                      (same ? "equals" : "differs from") + " the " + std::to_string(fExpected.size()) +
                      "-byte image, " + std::to_string(fUnit->requestLog().size()) + " requests");
        return runMode && same ? 0 : 1;
    }

    int fail(const std::string& why) const
    {
        fNarrator.say("FAIL: " + why);
        return 1;
    }

    // The server answers before the controller starts: its download cache asks at once, and once.
    static std::vector<uint8_t> offerOn(SimNetwork::FirmwareServer& server)
    {
        std::vector<uint8_t> offered = Pyx::buildRunImage(kOffered);
        Routes::offer(server, Pyx::versionText(kOffered), offered);
        FoundationTesting::mapHost(Routes::kHost, 80, server.port());
        return offered;
    }

    Options fOptions;
    SimNetwork::FirmwareServer fServer;
    const std::vector<uint8_t> fOffered = offerOn(fServer);
    std::shared_ptr<Pyx::PyxUnit> fUnit;
    std::vector<uint8_t> fExpected;
    UpdateController fController;
    Narrator fNarrator{fController};
};

} // namespace

int main(int argc, char** argv)
{
    const std::optional<Options> options = parse(argc, argv);
    if (!options || options->help) {
        std::fputs(kUsage, options ? stdout : stderr);
        return options ? 0 : 2;
    }
    return Demo(*options).run();
}
