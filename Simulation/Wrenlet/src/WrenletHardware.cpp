#include <Wrenlet/WrenletHardware.h>

#include "Faces.h"

#include <Wrenlet/FirmwareImage.h>
#include <Wrenlet/Signature.h>

#include <algorithm>
#include <cctype>

namespace Wrenlet {

namespace {

// The firmware acknowledges a reset request before it resets.
constexpr uint64_t kResetLatency = 1'000'000;
constexpr size_t kVersionReplyLength = 16;

} // namespace

std::shared_ptr<WrenletHardware> WrenletHardware::create(SimUSB::Bus& bus, uint8_t port,
                                                         const Options& options)
{
    return std::shared_ptr<WrenletHardware>(new WrenletHardware(bus, port, options));
}

WrenletHardware::WrenletHardware(SimUSB::Bus& bus, uint8_t port, const Options& options)
    : fBus(bus), fPort(port), fOptions(options), fLoader(fChip, [this] { rebootLocked(); })
{
    fLoader.flashController().setCommandObserver(
        [this](uint8_t command, bool afterEffect) { commandObserved(command, afterEffect); });
}

WrenletHardware::~WrenletHardware()
{
    for (DarwinClock::AlarmId alarm : {fRebootAlarm, fPowerAlarm, fLeaveAlarm}) {
        if (alarm != 0)
            DarwinClock::cancelAlarm(alarm);
    }
}

void WrenletHardware::installFirmware(std::span<const uint8_t> image)
{
    std::lock_guard lock(fLock);
    std::fill(fChip.flash.begin(), fChip.flash.end(), 0xFF);
    std::copy_n(image.begin(), std::min(image.size(), fChip.flash.size()), fChip.flash.begin());
    fChip.gpnvm |= 1u << kBootFromFlashBit;
}

void WrenletHardware::setBootFlag(bool bootFromFlash)
{
    std::lock_guard lock(fLock);
    fChip.gpnvm =
        bootFromFlash ? fChip.gpnvm | 1u << kBootFromFlashBit : fChip.gpnvm & ~(1u << kBootFromFlashBit);
}

void WrenletHardware::setSignature(std::vector<uint8_t> signature)
{
    std::lock_guard lock(fLock);
    signature.resize(kUserSignatureSize, 0xFF);
    const std::string serial = serialFromSignature(signature);
    if (serial.size() >= 4) {
        fJtag.setVariant(serial[3]);
    }
    fChip.userSignature = std::move(signature);
}

void WrenletHardware::setFpgaVersion(std::string version)
{
    std::lock_guard lock(fLock);
    fJtag.setConfigured(version);
}

void WrenletHardware::setRunModeOptions(const RunModeOptions& options)
{
    std::lock_guard lock(fLock);
    fRunMode = options;
}

void WrenletHardware::powerOn(uint64_t delay)
{
    std::shared_ptr<SimUSB::Device> device;
    {
        std::lock_guard lock(fLock);
        if (fPowered)
            return;
        fPowered = true;
        device = bootLocked();
    }
    if (device)
        fBus.attach(fPort, device, delay);
}

void WrenletHardware::powerOff()
{
    DarwinClock::AlarmId alarms[3];
    {
        std::lock_guard lock(fLock);
        alarms[0] = std::exchange(fRebootAlarm, 0);
        alarms[1] = std::exchange(fPowerAlarm, 0);
        alarms[2] = std::exchange(fLeaveAlarm, 0);
    }
    for (DarwinClock::AlarmId alarm : alarms) {
        if (alarm != 0)
            DarwinClock::cancelAlarm(alarm);
    }
    bool attached = false;
    {
        std::lock_guard lock(fLock);
        attached = fDevice != nullptr;
        fLoader.powerOff();
        fPowered = false;
        fDead = false;
        fRebootPending = false;
        fPowerLossRequested = false;
        fFace = Face::Off;
        fDevice.reset();
        fRunModeDevice.reset();
    }
    if (attached)
        fBus.detach(fPort);
}

WrenletHardware::Face WrenletHardware::face() const
{
    std::lock_guard lock(fLock);
    return fFace;
}

bool WrenletHardware::isBricked() const
{
    std::lock_guard lock(fLock);
    return fChip.bootFromFlash() && !FirmwareImage::validVersion(fChip.flash);
}

ChipState WrenletHardware::chip() const
{
    std::lock_guard lock(fLock);
    return fChip;
}

std::string WrenletHardware::fpgaVersion() const
{
    std::lock_guard lock(fLock);
    return fJtag.fpgaVersion();
}

std::optional<std::string> WrenletHardware::firmwareVersion() const
{
    std::lock_guard lock(fLock);
    return FirmwareImage::validVersion(fChip.flash);
}

std::shared_ptr<KorvanInterface::KorvanDevice> WrenletHardware::runModeDevice() const
{
    std::lock_guard lock(fLock);
    return fRunModeDevice;
}

void WrenletHardware::withBootLoader(const std::function<void(SambaBootLoader&)>& action)
{
    std::lock_guard lock(fLock);
    action(fLoader);
}

void WrenletHardware::withJtag(const std::function<void(JtagTarget&)>& action)
{
    std::lock_guard lock(fLock);
    action(fJtag);
}

void WrenletHardware::setAnswerDelay(uint64_t ns)
{
    std::lock_guard lock(fLock);
    fAnswerDelay = ns;
}

void WrenletHardware::stopAnsweringAfter(std::optional<size_t> bytes)
{
    std::lock_guard lock(fLock);
    fAnswerBudget = bytes;
}

WrenletHardware::Traffic WrenletHardware::traffic() const
{
    std::lock_guard lock(fLock);
    return fTraffic;
}

void WrenletHardware::powerOffAtCommand(uint8_t command, bool afterEffect, unsigned occurrence)
{
    std::lock_guard lock(fLock);
    fCommandTrigger = CommandTrigger{command, afterEffect, occurrence};
    fCommandCount = 0;
}

void WrenletHardware::powerOffAfterPages(unsigned pages)
{
    std::lock_guard lock(fLock);
    fPageTrigger = fPagesWritten + pages;
}

void WrenletHardware::flipFlashByteAfterPages(unsigned pages, size_t offset)
{
    std::lock_guard lock(fLock);
    fFlipTrigger = std::pair(fPagesWritten + pages, offset % kFlashSize);
}

void WrenletHardware::powerOffOnRequest(uint8_t bRequest)
{
    std::lock_guard lock(fLock);
    fRequestTrigger = bRequest;
}

void WrenletHardware::powerOffAfter(uint64_t delay)
{
    std::lock_guard lock(fLock);
    fPowerAlarm = DarwinClock::scheduleAlarm(
        DarwinClock::addSaturating(DarwinClock::hostNow(), delay),
        [weak = weak_from_this()] {
            if (const auto unit = weak.lock()) {
                std::lock_guard lock(unit->fLock);
                unit->fPowerAlarm = 0;
                if (unit->fPowered)
                    unit->losePowerLocked();
            }
        },
        "Wrenlet power loss");
}

std::shared_ptr<SimUSB::Device> WrenletHardware::bootLocked()
{
    fDead = false;
    fAnswerBudget.reset();
    fRunModeDevice.reset();
    if (!fChip.bootFromFlash()) {
        fFace = Face::BootLoader;
        fDevice = std::make_shared<BootLoaderFace>(fOptions.bootLoaderDataInterface, weak_from_this());
        fDevice->setEnumeratedUnconfigured(fOptions.enumeratedUnconfigured);
        return fDevice;
    }
    if (!FirmwareImage::validVersion(fChip.flash)) {
        fFace = Face::Bricked;
        fDevice.reset();
        return nullptr;
    }
    KorvanInterface::DescriptorOptions options(KorvanInterface::Model::Wrenlet, fOptions.vendorID);
    std::string serial = fRunMode.serial.value_or(serialFromSignature(fChip.userSignature));
    if (fRunMode.lowerCaseSerial)
        std::transform(serial.begin(), serial.end(), serial.begin(),
                       [](char c) { return char(std::tolower(c)); });
    options.serial = serial;
    options.serialDescriptorLength = fRunMode.serialDescriptorLength;
    fFace = Face::RunMode;
    fRunModeDevice = std::make_shared<RunModeFace>(options, weak_from_this());
    fDevice = fRunModeDevice;
    fDevice->setEnumeratedUnconfigured(fOptions.enumeratedUnconfigured);
    return fDevice;
}

void WrenletHardware::commandObserved(uint8_t command, bool afterEffect)
{
    if (fCommandTrigger && fCommandTrigger->command == command &&
        fCommandTrigger->afterEffect == afterEffect && ++fCommandCount == fCommandTrigger->occurrence) {
        fCommandTrigger.reset();
        fPowerLossRequested = true;
    }
    if (command == FlashController::WP && afterEffect) {
        ++fPagesWritten;
        if (fPageTrigger && fPagesWritten >= *fPageTrigger) {
            fPageTrigger.reset();
            fPowerLossRequested = true;
        }
        if (fFlipTrigger && fPagesWritten >= fFlipTrigger->first) {
            fChip.flash[fFlipTrigger->second] ^= 0x01;
            fFlipTrigger.reset();
        }
    }
}

void WrenletHardware::losePowerLocked()
{
    fLoader.powerOff();
    fJtag.powerLoss();
    fPowerLossRequested = false;
    fRebootPending = false;
    if (!fDevice) {
        // Between two faces: the reboot's attach finds the power gone.
        fPowered = false;
        fFace = Face::Off;
        return;
    }
    fDead = true;
    fLeaveAlarm = DarwinClock::scheduleAlarm(
        DarwinClock::hostNow(),
        [weak = weak_from_this()] {
            if (const auto unit = weak.lock())
                unit->leaveBus();
        },
        "Wrenlet power loss");
}

void WrenletHardware::rebootLocked()
{
    fRebootPending = true;
    fDead = true;
    fLeaveAlarm = DarwinClock::scheduleAlarm(
        DarwinClock::addSaturating(DarwinClock::hostNow(), kResetLatency),
        [weak = weak_from_this()] {
            if (const auto unit = weak.lock())
                unit->leaveBus();
        },
        "Wrenlet reset");
}

void WrenletHardware::leaveBus()
{
    std::shared_ptr<SimUSB::Device> device;
    {
        std::lock_guard lock(fLock);
        fLeaveAlarm = 0;
        device = fDevice;
    }
    if (auto runMode = std::dynamic_pointer_cast<RunModeFace>(device))
        runMode->leave();
    else if (auto bootLoader = std::dynamic_pointer_cast<BootLoaderFace>(device))
        bootLoader->leave();
}

void WrenletHardware::faceDetached(const SimUSB::Device* face)
{
    std::lock_guard lock(fLock);
    if (face != fDevice.get())
        return;
    fDevice.reset();
    fRunModeDevice.reset();
    fLoader.powerOff();
    fDead = false;
    if (fRebootPending && fPowered) {
        fRebootPending = false;
        fFace = Face::Rebooting;
        fRebootAlarm = DarwinClock::scheduleAlarm(
            DarwinClock::addSaturating(DarwinClock::hostNow(), fOptions.rebootDelay),
            [weak = weak_from_this()] {
                if (const auto unit = weak.lock())
                    unit->attachAfterReboot();
            },
            "Wrenlet reboot");
        return;
    }
    // Unplugged: the unit has lost its power.
    fRebootPending = false;
    fPowered = false;
    fFace = Face::Off;
}

void WrenletHardware::attachAfterReboot()
{
    std::shared_ptr<SimUSB::Device> device;
    {
        std::lock_guard lock(fLock);
        fRebootAlarm = 0;
        if (!fPowered || fDevice)
            return;
        device = bootLocked();
    }
    if (device)
        fBus.attach(fPort, device);
}

std::optional<SimUSB::ControlAnswer> WrenletHardware::runModeRequest(const SimUSB::SetupPacket& setup,
                                                                     std::span<const uint8_t> data)
{
    using SimUSB::ControlAnswer;
    std::lock_guard lock(fLock);
    if (fDead)
        return ControlAnswer::hang();
    const bool serialDescriptor =
        setup.bmRequestType == 0x80 && setup.bRequest == SimUSB::Request::kGetDescriptor &&
        setup.wValue == (SimUSB::DescriptorType::kString << 8 | KorvanInterface::StringIndex::kSerial);
    if (serialDescriptor && fRunMode.rawSerialDescriptor)
        return ControlAnswer::withData(*fRunMode.rawSerialDescriptor);
    if (setup.type() != 2 || setup.wIndex != kUpdaterIndex)
        return std::nullopt;
    if (fRequestTrigger == setup.bRequest) {
        fRequestTrigger.reset();
        losePowerLocked();
        return ControlAnswer::hang();
    }
    if (auto jtag = fJtag.request(setup, data)) {
        return jtag;
    }
    switch (setup.bmRequestType << 8 | setup.bRequest) {
    case 0x4003:
        // The firmware hands over to the ROM boot loader, which then stays until the flag is set.
        fChip.gpnvm &= ~(1u << kBootFromFlashBit);
        rebootLocked();
        return ControlAnswer::ack();
    case 0x4004:
        rebootLocked();
        return ControlAnswer::ack();
    case 0xC005:
        return ControlAnswer::withData(versionReply(FirmwareImage::validVersion(fChip.flash).value_or("")));
    case 0xC006:
        return ControlAnswer::withData(versionReply(fJtag.fpgaVersion()));
    default:
        return std::nullopt;
    }
}

std::vector<uint8_t> WrenletHardware::versionReply(const std::string& text) const
{
    std::vector<uint8_t> reply(kVersionReplyLength, fRunMode.versionsWithoutNul ? uint8_t('.') : uint8_t(0));
    std::copy_n(text.begin(),
                std::min(text.size(), kVersionReplyLength - (fRunMode.versionsWithoutNul ? 0 : 1)),
                reply.begin());
    return reply;
}

void WrenletHardware::bulkOut(std::span<const uint8_t> bytes)
{
    std::lock_guard lock(fLock);
    if (fDead)
        return;
    ++fTraffic.outPieces;
    fTraffic.outBytes += bytes.size();
    for (size_t i = 0; i < bytes.size() && !fDead; ++i) {
        const size_t before = fLoader.pendingAnswer();
        fLoader.receive(bytes.subspan(i, 1));
        if (fPowerLossRequested) {
            losePowerLocked();
            return;
        }
        if (fLoader.pendingAnswer() > before)
            fAnswerReadyAt = DarwinClock::addSaturating(DarwinClock::hostNow(), fAnswerDelay);
    }
}

SimUSB::InPacket WrenletHardware::bulkIn(std::span<uint8_t> space)
{
    std::lock_guard lock(fLock);
    if (fDead || fLoader.pendingAnswer() == 0 || DarwinClock::hostNow() < fAnswerReadyAt ||
        (fAnswerBudget && *fAnswerBudget == 0))
        return SimUSB::InPacket::none();
    const size_t room = fAnswerBudget ? std::min(space.size(), *fAnswerBudget) : space.size();
    const size_t count = fLoader.takeAnswer(space.first(room));
    if (fAnswerBudget)
        *fAnswerBudget -= count;
    ++fTraffic.inPieces;
    fTraffic.inBytes += count;
    return SimUSB::InPacket::bytes(count);
}

} // namespace Wrenlet
