// tide-wrenlet-demo: a whole Wrenlet update on a simulated unit, as a user makes it. The firmware
// server model serves a container signed with the build's key (firmware "1.1.0", FPGA "1.0"); the
// unit holds "1.0.0" and FPGA "0.9". The updater downloads it (or opens --file PATH), Update is
// clicked, and every status and label change is printed with its simulated time, then the unit's
// state read back and "PASS".
//
//   --variant A|B|C     the unit's variant (default A)
//   --file PATH.image   a local container instead of the download
//   --interrupt STEP    power lost when the status shows STEP ("Erasing...", "Writing FPGA...", ...),
//                       back 2 s later; the user then quits, starts the updater again and updates
//   --save-container PATH  also writes the served container there

#include "AppDelegate.h"
#include "MainMenu.h"
#include "Updater.h"
#include "jam.h"

#include "FpgaPrograms.h"

#include <AppKitTesting/Panels.h>
#include <CoreFoundationTesting/RunLoop.h>
#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>
#include <DriverKit/platform/Drivers.h>
#include <FoundationTesting/URLLoading.h>
#include <SimNetwork/FirmwareServer.h>
#include <SimUSB/Bus.h>
#include <Wrenlet/FirmwareImage.h>
#include <Wrenlet/Signature.h>
#include <Wrenlet/WrenletHardware.h>
#include <mach/mach_time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr uint8_t kPort = 11;
constexpr uint16_t kMakerVendor = 0x3A1C;
constexpr size_t kImageSize = 1301;
constexpr const char* kHost = "firmware.vork.example";
constexpr const char* kImagePath = "/images/wrenlet-1.1.0.image";

struct Options
{
    char variant = 'A';
    std::string file;
    std::string interrupt;
    std::string saveContainer;
};

std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The container the server offers, made by the container builder with the build's key.
std::vector<uint8_t> makeContainer()
{
    char pattern[] = "/tmp/wrenlet-demo-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    std::string command = std::string("python3 ") + WRENLET_CONTAINER_TOOL + " --key " + WRENLET_PRIVATE_KEY +
                          " --firmware-version 1.1.0 --fpga-version 1.0 --out " + folder + "/container";
    writeFile(folder + "/section1", Wrenlet::FirmwareImage::build("1.1.0", kImageSize));
    for (const char variant : {'A', 'B', 'C'}) {
        const std::string name = "section" + std::to_string(variant - 'A' + 2);
        writeFile(folder + "/" + name, makeFpgaProgram({.variant = variant,
                                                        .version = "1.0",
                                                        .action = variant == 'A' ? "PROGRAM" : "RUN_FILE",
                                                        .payload = 4096}));
    }
    for (int n = 1; n <= 4; ++n) {
        command += " --section" + std::to_string(n) + " " + folder + "/section" + std::to_string(n);
    }
    const bool built = std::system(command.c_str()) == 0;
    std::vector<uint8_t> container = built ? readFile(folder + "/container") : std::vector<uint8_t>{};
    std::filesystem::remove_all(folder);
    return container;
}

std::string text(NS::TextField* field)
{
    char buffer[256] = {};
    if (field && field->stringValue()) {
        CFStringGetCString(field->stringValue(), buffer, sizeof buffer, kCFStringEncodingUTF8);
    }
    return buffer;
}

class Demo
{
public:
    Demo(const Options& options, std::shared_ptr<Wrenlet::WrenletHardware> unit)
        : fOptions(options), fUnit(std::move(unit))
    {}

    void launch()
    {
        MainMenu::Register([](std::stop_token stop, std::weak_ptr<USB_FPGA::Client> client,
                              std::shared_ptr<WRNA> device, const std::string& action, const uint8_t* data,
                              size_t length) {
            DarwinClock::Activity activity("FPGA run");
            jam(std::move(stop), std::move(client), std::move(device), action, data, length);
        });
        MainMenu::Build();
        fDelegate = static_cast<AppDelegate*>(NS::Application::sharedApplication().delegate());
        std::printf("%s updater launched\n", now().c_str());
        fDelegate->applicationDidFinishLaunching(nullptr);
        if (!fOptions.file.empty()) {
            AppKitTesting::answerOK(fOptions.file);
            std::printf("%s Choose File: %s\n", now().c_str(), fOptions.file.c_str());
            fDelegate->ChooseFileButton->performClick();
        }
    }

    void quit()
    {
        std::printf("%s OK: the updater quits\n", now().c_str());
        fDelegate->applicationWillTerminate(nullptr);
        MainMenu::Release();
        fDelegate = nullptr;
        fLabels.clear();
    }

    // Steps simulated time until `done`; false after `limit` of it. While the network works, real time
    // passes beside it, a millisecond a step.
    bool runUntil(const std::function<bool()>& done, std::chrono::nanoseconds limit, bool network = false)
    {
        for (auto stepped = 0ns; !done(); stepped += 1ms) {
            if (stepped >= limit) {
                return false;
            }
            CoreFoundationTesting::advanceAndRun(fClock, 1ms);
            if (network) {
                std::this_thread::sleep_for(1ms);
            }
            showChanges();
            if (!fInterrupted && !fOptions.interrupt.empty() &&
                text(fDelegate->ProgressLabel) == fOptions.interrupt) {
                interrupt();
            }
        }
        return true;
    }

    bool fileRefused() const
    {
        const std::string file = text(fDelegate->FileLabel);
        return file == "File Signature Verification Failed" || file == "Invalid File" || file == "File error";
    }
    bool fileLoaded() const { return !text(fDelegate->FileVersionLabel).empty(); }
    bool connected() const { return fDelegate->IsConnected(); }
    bool bootLoaderShown() const { return !fDelegate->CheckDeviceButton->isHidden(); }
    bool idle() const { return fDelegate->GetUpdater()->GetState() == Updater::kIdle; }
    // The update has ended one way or another: the window offers OK, or another try.
    bool ended() const
    {
        return idle() && (!fDelegate->OKButton->isHidden() || fDelegate->UpdateButton->isEnabled() ||
                          bootLoaderShown());
    }
    std::string progress() const { return text(fDelegate->ProgressLabel); }
    AppDelegate& delegate() { return *fDelegate; }
    bool interrupted() const { return fInterrupted; }

    std::string now() const
    {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%8.3f s]", double(mach_absolute_time() - fStart) / 1e9);
        return stamp;
    }

private:
    void showChanges()
    {
        const std::pair<const char*, NS::TextField*> labels[] = {
            {"device", fDelegate->DeviceLabel},
            {"device version", fDelegate->DeviceVersionLabel},
            {"file", fDelegate->FileLabel},
            {"file version", fDelegate->FileVersionLabel},
            {"status", fDelegate->ProgressLabel}};
        for (const auto& [name, field] : labels) {
            const std::string value = text(field);
            if (fLabels[name] != value) {
                fLabels[name] = value;
                std::printf("%s %s: %s\n", now().c_str(), name, value.c_str());
            }
        }
    }

    void interrupt()
    {
        fInterrupted = true;
        std::printf("%s power lost at \"%s\"\n", now().c_str(), fOptions.interrupt.c_str());
        fUnit->powerOff();
        CoreFoundationTesting::advanceAndRun(fClock, 2s);
        std::printf("%s power back\n", now().c_str());
        fUnit->powerOn();
    }

    const Options& fOptions;
    std::shared_ptr<Wrenlet::WrenletHardware> fUnit;
    DarwinTesting::ManualClock fClock;
    // Simulated time is shown from the demo's start.
    const uint64_t fStart = mach_absolute_time();
    AppDelegate* fDelegate = nullptr;
    std::map<std::string, std::string> fLabels;
    bool fInterrupted = false;
};

bool parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--variant" && value.size() == 1 && value[0] >= 'A' && value[0] <= 'C') {
            options.variant = value[0];
        } else if (name == "--file" && std::filesystem::path(value).extension() == ".image") {
            // The updater's open panel offers files of type "image" only.
            options.file = value;
        } else if (name == "--interrupt") {
            options.interrupt = value;
        } else if (name == "--save-container") {
            options.saveContainer = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: tide-wrenlet-demo [--variant A|B|C] [--file PATH.image] [--interrupt STATUS] "
                     "[--save-container PATH]\n");
        return 2;
    }
    const std::vector<uint8_t> container = makeContainer();
    if (container.empty()) {
        std::fprintf(stderr, "the container could not be made\n");
        return 1;
    }
    if (!options.saveContainer.empty()) {
        writeFile(options.saveContainer, container);
    }

    // The firmware server: the info document over HTTP, the image over HTTPS from a test authority.
    const auto authority = SimNetwork::makeCertificateAuthority("Tide Demo Authority");
    SimNetwork::FirmwareServer info;
    SimNetwork::FirmwareServer images(SimNetwork::makeServerCertificate(authority, kHost));
    info.setRoute("/api/device/wrenlet-k/firmware",
                  {{.body = std::string(R"([{"image":"https://)") + kHost + kImagePath + R"("}])"}});
    images.setRoute(kImagePath, {{.body = std::string(container.begin(), container.end())}});
    FoundationTesting::mapHost(kHost, 80, info.port());
    FoundationTesting::mapHost(kHost, 443, images.port());
    FoundationTesting::trustCertificateAuthority(authority.certificatePem);

    DriverKitPlatform::startUSB();
    auto unit = Wrenlet::WrenletHardware::create(SimUSB::Bus::shared(), kPort,
                                                 {.vendorID = kMakerVendor, .rebootDelay = 200'000'000});
    unit->setSignature(Wrenlet::makeSignature(options.variant, 0, {0x0A, 0x1B, 0x2C}));
    unit->installFirmware(Wrenlet::FirmwareImage::build("1.0.0", kImageSize));
    unit->setFpgaVersion("0.9");
    unit->powerOn();

    Demo demo(options, unit);
    bool passed = false;
    bool refused = false;
    // A user whose update was cut short starts the updater again and updates once more.
    for (int attempt = 0; attempt < 3 && !passed && !refused; ++attempt) {
        demo.launch();
        if (!demo.runUntil(
                [&] {
                    return demo.fileRefused() ||
                           (demo.fileLoaded() && (demo.connected() || demo.bootLoaderShown()));
                },
                60s, true)) {
            std::printf("%s the file or the unit did not come\n", demo.now().c_str());
            break;
        }
        if (demo.fileRefused()) {
            // The refused file never reaches the unit: nothing but version reads went to it.
            refused = true;
            std::printf("%s the file was refused; the unit was not touched (firmware %s, FPGA %s)\n",
                        demo.now().c_str(), unit->firmwareVersion().value_or("none").c_str(),
                        unit->fpgaVersion().c_str());
            passed = unit->firmwareVersion() == "1.0.0" && unit->fpgaVersion() == "0.9";
            break;
        }
        if (!demo.connected()) {
            std::printf("%s Check Device clicked\n", demo.now().c_str());
            demo.delegate().CheckDeviceButton->performClick();
            demo.runUntil([&] { return demo.connected(); }, 10s);
        }
        std::printf("%s Update clicked\n", demo.now().c_str());
        demo.delegate().UpdateButton->performClick();
        demo.runUntil([&] { return !demo.idle(); }, 5s);
        if (!demo.runUntil([&] { return demo.ended(); }, 300s)) {
            std::printf("%s the update did not end\n", demo.now().c_str());
            break;
        }
        passed = demo.progress() == "Success!";
        demo.quit();
        if (!passed) {
            std::printf("%s the user starts the updater again\n", demo.now().c_str());
        }
    }
    const Wrenlet::ChipState chip = unit->chip();
    std::printf("unit: firmware %s, FPGA %s, boot from flash %s, %s\n",
                unit->firmwareVersion().value_or("none").c_str(), unit->fpgaVersion().c_str(),
                chip.bootFromFlash() ? "yes" : "no",
                unit->face() == Wrenlet::WrenletHardware::Face::RunMode ? "in run mode" : "not in run mode");
    passed = passed && (refused || (unit->firmwareVersion() == "1.1.0" && unit->fpgaVersion() == "1.0"));
    std::printf("%s\n", passed ? "PASS" : "FAIL");
    unit->powerOff();
    return passed ? 0 : 1;
}
