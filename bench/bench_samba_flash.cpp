// Flashing a 256 KiB image into the simulated Wrenlet's boot loader, on the real clock, with the
// flash controller's busy counts the same for both sides.
//
// Ours: the updater's SAMBA engine runs CGPB, EA, WriteFlash, VerifyFlash and SGPB over the
// simulated bus (prompt bulk setting) through the user-space USB interface, its completions on the
// main run loop. The peer: bossac -e -w -v -b of the same image through a pseudo terminal in front
// of the same boot loader.
//
// Pair: samba_flash_256k/ours and samba_flash_256k/peer. Goal: at most the peer's time. Each side
// also reports its bulk transfers and bytes per KiB of image.

#include "PlugInInterface.h"
#include "RunFlashCommand.h"
#include "SAMBA.h"
#include "VerifyFlash.h"
#include "WriteFlash.h"

#include <DriverKit/platform/Drivers.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>
#include <SimUSB/Bus.h>
#include <Wrenlet/FirmwareImage.h>
#include <Wrenlet/SambaPty.h>
#include <Wrenlet/Signature.h>
#include <Wrenlet/WrenletHardware.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint8_t kPort = 3;
constexpr size_t kImageSize = 256 * 1024;
constexpr double kImageKiB = kImageSize / 1024.0;

std::shared_ptr<Wrenlet::WrenletHardware> gUnit;
std::vector<uint8_t> gImage;
std::string gImageFile;

// The boot loader's CDC data interface, opened, its event source on the main run loop.
SAMBA::Interface openDataInterface()
{
    CFMutableDictionaryRef matching = IOServiceMatching("IOUSBHostInterface");
    const int32_t dataClass = 10;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &dataClass);
    CFDictionarySetValue(matching, CFSTR("bInterfaceClass"), number);
    CFRelease(number);
    io_iterator_t found = 0;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, matching, &found) != KERN_SUCCESS) {
        return nullptr;
    }
    const io_service_t service = IOIteratorNext(found);
    IOObjectRelease(found);
    if (service == 0) {
        return nullptr;
    }
    auto interface = std::make_shared<vork::IOCFComPtr<IOUSBInterfaceInterface300>>(
        QueryPlugIn<IOUSBInterfaceInterface300>(service, kIOUSBInterfaceUserClientTypeID,
                                                kIOUSBInterfaceInterfaceID300));
    IOObjectRelease(service);
    IOUSBInterfaceInterface300** opened = interface->get();
    if (opened == nullptr) {
        return nullptr;
    }
    CFRunLoopSourceRef source = nullptr;
    (*opened)->CreateInterfaceAsyncEventSource(opened, &source);
    CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
    return (*opened)->USBInterfaceOpen(opened) == kIOReturnSuccess ? interface : nullptr;
}

// The flashing sequence of an update, one command after the other on the main run loop.
class Flashing : public SAMBA::Client
{
public:
    explicit Flashing(SAMBA::Interface interface) : fEngine(*this, std::move(interface))
    {
        fSteps.push_back(std::make_unique<RunFlashCommand>(fEngine, SAMBA::kClearGPNVM, 1, 1));
        fSteps.push_back(std::make_unique<RunFlashCommand>(fEngine, SAMBA::kEraseAll, 0, 1));
        fSteps.push_back(std::make_unique<WriteFlash>(fEngine, gImage));
        fSteps.push_back(std::make_unique<VerifyFlash>(fEngine, gImage));
        fSteps.push_back(std::make_unique<RunFlashCommand>(fEngine, SAMBA::kSetGPNVM, 1, 1));
    }

    // True when every command succeeded.
    bool Run()
    {
        fSteps[0]->Start();
        while (!fDone) {
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0, true);
        }
        return !fFailed;
    }

    void SAMBACallback(uint32_t count, bool error) override
    {
        if (error) {
            Stop(true);
            return;
        }
        StateMachine& step = *fSteps[fStep];
        if (!step.Callback(count)) {
            return;
        }
        if (!step.GetResultStatus()) {
            Stop(true);
        } else if (++fStep == fSteps.size()) {
            Stop(false);
        } else {
            fSteps[fStep]->Start();
        }
    }

private:
    void Stop(bool failed)
    {
        fFailed = failed;
        fDone = true;
        CFRunLoopStop(CFRunLoopGetMain());
    }

    SAMBA fEngine;
    std::vector<std::unique_ptr<StateMachine>> fSteps;
    size_t fStep = 0;
    bool fDone = false;
    bool fFailed = false;
};

void reportTraffic(benchmark::State& state, const Wrenlet::WrenletHardware::Traffic& before)
{
    const Wrenlet::WrenletHardware::Traffic after = gUnit->traffic();
    const double runs = double(state.iterations());
    state.counters["transfers_per_KiB"] =
        double(after.outPieces - before.outPieces + after.inPieces - before.inPieces) / runs / kImageKiB;
    state.counters["bytes_per_KiB"] =
        double(after.outBytes - before.outBytes + after.inBytes - before.inBytes) / runs / kImageKiB;
}

bool flashedWhole()
{
    const Wrenlet::ChipState chip = gUnit->chip();
    return chip.bootFromFlash() && std::equal(gImage.begin(), gImage.end(), chip.flash.begin());
}

void ours(benchmark::State& state)
{
    SimUSB::Bus::shared().setPromptBulk(true);
    SAMBA::Interface interface = openDataInterface();
    if (!interface) {
        state.SkipWithError("no boot-loader data interface");
        return;
    }
    const Wrenlet::WrenletHardware::Traffic before = gUnit->traffic();
    for (auto _ : state) {
        Flashing flashing(interface);
        if (!flashing.Run() || !flashedWhole()) {
            state.SkipWithError("the flashing failed");
            break;
        }
    }
    reportTraffic(state, before);
    (*interface->get())->USBInterfaceClose(interface->get());
}

void peer(benchmark::State& state)
{
    const auto pty = Wrenlet::SambaPty::open(gUnit);
    if (!pty) {
        state.SkipWithError("no pseudo terminal");
        return;
    }
    const std::string command = "timeout 300 bossac --port=" + pty->path() + " --usb-port=1 -e -w -v -b " +
                                gImageFile + " > /dev/null 2>&1";
    const Wrenlet::WrenletHardware::Traffic before = gUnit->traffic();
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0 || !flashedWhole()) {
            state.SkipWithError("bossac failed");
            break;
        }
    }
    reportTraffic(state, before);
}

} // namespace

int main(int argc, char** argv)
{
    DriverKitPlatform::startUSB();
    gImage = Wrenlet::FirmwareImage::build("1.0", kImageSize);
    gImageFile = "/tmp/bench-samba-flash-" + std::to_string(getpid()) + ".bin";
    std::ofstream(gImageFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(gImage.data()), std::streamsize(gImage.size()));
    gUnit = Wrenlet::WrenletHardware::create(SimUSB::Bus::shared(), kPort, {});
    gUnit->setSignature(Wrenlet::makeSignature('A', 0, {0x0A, 0x1B, 0x2C}));
    gUnit->setBootFlag(false);
    gUnit->powerOn();
    SimUSB::Bus::shared().settle();

    benchmark::RegisterBenchmark("samba_flash_256k/ours", ours)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("samba_flash_256k/peer", peer)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    gUnit->powerOff();
    SimUSB::Bus::shared().reset();
    std::remove(gImageFile.c_str());
    return 0;
}
