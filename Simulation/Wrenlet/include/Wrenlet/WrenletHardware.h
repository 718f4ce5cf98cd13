#pragma once

// One physical Wrenlet on the simulated bus. It keeps the microcontroller's state across power
// cycles and appears as one face at a time: the running audio interface (the Korvan model with the
// updater's vendor requests) or the ROM boot loader. It boots by the boot rule: GPNVM bit 1 clear
// gives the boot loader; set over a valid image, run mode; set over anything else, a bricked unit
// on which nothing enumerates.
//
// The unit is bus-powered: an unplug by any route is a power loss. Power-loss triggers let tests
// cut the power at exact points of an update. Thread-safe; everything is timed on the Platform
// clock.

#include <Wrenlet/ChipState.h>
#include <Wrenlet/FlashController.h>
#include <Wrenlet/JtagTarget.h>
#include <Wrenlet/SambaBootLoader.h>

#include <KorvanInterface/KorvanDevice.h>
#include <SimUSB/Bus.h>

#include <Darwin/Clock.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Wrenlet {

class BootLoaderFace;
class RunModeFace;

constexpr uint16_t kBootLoaderVendorID = 0x03EB;
constexpr uint16_t kBootLoaderProductID = 0x6124;
constexpr uint8_t kBootLoaderBulkOut = 0x01;
constexpr uint8_t kBootLoaderBulkIn = 0x82;
constexpr uint16_t kBootLoaderMaxPacket = 512;
constexpr uint16_t kUpdaterIndex = 7;

class WrenletHardware : public std::enable_shared_from_this<WrenletHardware>
{
public:
    enum class Face
    {
        Off,
        Rebooting,
        RunMode,
        BootLoader,
        Bricked,
    };

    struct Options
    {
        // The maker's vendor id, under which the running unit enumerates.
        uint16_t vendorID = 0x3A1C;
        uint64_t rebootDelay = 300'000'000;
        // The boot loader without its CDC data interface.
        bool bootLoaderDataInterface = true;
        // Either face enumerates at configuration 0, as on a host where no driver claims it.
        bool enumeratedUnconfigured = false;
    };

    // Run-mode knobs.
    struct RunModeOptions
    {
        // Replaces the serial derived from the signature.
        std::optional<std::string> serial;
        bool lowerCaseSerial = false;
        // Replaces the serial's string descriptor byte for byte.
        std::optional<std::vector<uint8_t>> rawSerialDescriptor;
        std::optional<uint8_t> serialDescriptorLength;
        // The version replies fill all 16 bytes, with no NUL.
        bool versionsWithoutNul = false;
    };

    static std::shared_ptr<WrenletHardware> create(SimUSB::Bus& bus, uint8_t port, const Options& options);
    ~WrenletHardware();
    WrenletHardware(const WrenletHardware&) = delete;
    WrenletHardware& operator=(const WrenletHardware&) = delete;

    // Factory state, set while the unit is off.
    // Writes `image` at the flash's start, the rest erased, and sets the boot bit.
    void installFirmware(std::span<const uint8_t> image);
    void setBootFlag(bool bootFromFlash);
    void setSignature(std::vector<uint8_t> signature);
    void setFpgaVersion(std::string version);
    void setRunModeOptions(const RunModeOptions& options);

    // Power: on boots by the boot rule after `delay` ns; off is the unplug.
    void powerOn(uint64_t delay = 0);
    void powerOff();

    Face face() const;
    bool isBricked() const;
    ChipState chip() const;
    std::string fpgaVersion() const;
    // The version of the image in flash, when it is valid.
    std::optional<std::string> firmwareVersion() const;
    // The run-mode face now on the bus, for its knobs and logs; null in any other face.
    std::shared_ptr<KorvanInterface::KorvanDevice> runModeDevice() const;

    // Boot-loader access under the unit's lock: its knobs and logs.
    void withBootLoader(const std::function<void(SambaBootLoader&)>& action);
    // The FPGA's JTAG target under the unit's lock: its knobs and records.
    void withJtag(const std::function<void(JtagTarget&)>& action);
    // Every bulk answer comes this long after the command that caused it.
    void setAnswerDelay(uint64_t ns);
    // After `bytes` more bytes on bulk IN the boot loader stops answering (until the next boot).
    void stopAnsweringAfter(std::optional<size_t> bytes);

    struct Traffic
    {
        size_t outPieces = 0;
        size_t outBytes = 0;
        size_t inPieces = 0;
        size_t inBytes = 0;
    };
    Traffic traffic() const;

    // Once `pages` more pages have been written, the flash byte at `offset` flips, as a weak cell
    // would.
    void flipFlashByteAfterPages(unsigned pages, size_t offset);

    // Power-loss triggers, each fired once.
    // The `occurrence`-th time `command` is written (while it is busy) or takes effect.
    void powerOffAtCommand(uint8_t command, bool afterEffect, unsigned occurrence = 1);
    // Once `pages` pages have been written.
    void powerOffAfterPages(unsigned pages);
    // Instead of answering vendor request `bRequest` (wIndex 7) in run mode.
    void powerOffOnRequest(uint8_t bRequest);
    // `delay` ns from now.
    void powerOffAfter(uint64_t delay);

    // Called by the faces.
    void faceDetached(const SimUSB::Device* face);
    std::optional<SimUSB::ControlAnswer> runModeRequest(const SimUSB::SetupPacket& setup,
                                                        std::span<const uint8_t> data);
    void bulkOut(std::span<const uint8_t> bytes);
    SimUSB::InPacket bulkIn(std::span<uint8_t> space);

private:
    struct CommandTrigger
    {
        uint8_t command;
        bool afterEffect;
        unsigned occurrence;
    };

    WrenletHardware(SimUSB::Bus& bus, uint8_t port, const Options& options);

    // Under fLock.
    std::shared_ptr<SimUSB::Device> bootLocked();
    void commandObserved(uint8_t command, bool afterEffect);
    void losePowerLocked();
    void rebootLocked();
    std::vector<uint8_t> versionReply(const std::string& text) const;

    // Without fLock: asks the face on the bus to leave it.
    void leaveBus();
    void attachAfterReboot();

    SimUSB::Bus& fBus;
    const uint8_t fPort;
    const Options fOptions;

    mutable std::mutex fLock;
    ChipState fChip;
    SambaBootLoader fLoader;
    // The FPGA: its configuration survives power losses, its variant is the signature's.
    JtagTarget fJtag{'A'};
    RunModeOptions fRunMode;

    Face fFace = Face::Off;
    std::shared_ptr<SimUSB::Device> fDevice;
    std::shared_ptr<RunModeFace> fRunModeDevice;
    bool fPowered = false;
    // Between a power-loss trigger and the face's detach, the unit answers nothing.
    bool fDead = false;
    bool fRebootPending = false;
    bool fPowerLossRequested = false;
    DarwinClock::AlarmId fRebootAlarm = 0;
    DarwinClock::AlarmId fPowerAlarm = 0;
    DarwinClock::AlarmId fLeaveAlarm = 0;

    uint64_t fAnswerDelay = 0;
    uint64_t fAnswerReadyAt = 0;
    std::optional<size_t> fAnswerBudget;
    Traffic fTraffic;

    std::optional<CommandTrigger> fCommandTrigger;
    unsigned fCommandCount = 0;
    std::optional<unsigned> fPageTrigger;
    std::optional<std::pair<unsigned, size_t>> fFlipTrigger;
    unsigned fPagesWritten = 0;
    std::optional<uint8_t> fRequestTrigger;
};

} // namespace Wrenlet
