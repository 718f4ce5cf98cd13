#pragma once

// One physical Pyx on the simulated bus. It keeps its flash across power cycles and appears as one
// face at a time: run mode (the Korvan interface model with the update requests added) or recovery
// mode (the DFU-style loader). It boots by the boot rule: run mode exactly when the last download
// completed, the image holds at least a header and BACK is not held; otherwise recovery mode.
//
// The unit is bus-powered: an unplug is a power loss. Its knobs let tests fail, garble, delay or
// hold single requests and cut the power at an exact request. Thread-safe; every delay runs on the
// Platform clock.

#include <KorvanInterface/KorvanDevice.h>
#include <SimUSB/Bus.h>

#include <Darwin/Clock.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Pyx {

class RecoveryFace;
class RunModeFace;

constexpr uint16_t kRunModeProductID = 0x000E;
constexpr uint16_t kRecoveryProductID = 0x000F;
constexpr uint16_t kUpdaterIndex = 7;
constexpr size_t kBlockSize = 1024;
constexpr uint8_t kStateIdle = 2;
constexpr uint8_t kStateBusy = 4;
inline const std::string kDefaultRunSerial = "PyxEFFFFFF";
inline const std::string kDefaultRecoverySerial = "VORKFFFFFF";

enum class RequestKind
{
    Upload,
    Download,
    GetStatus,
    RebootToApplication,
    TestStatus,
    RebootIntoRecovery,
    ReadHeader,
    Other,
};

enum class Mode
{
    Off,
    Rebooting,
    Run,
    Recovery,
};

struct RequestRecord
{
    uint64_t time = 0;
    Mode mode = Mode::Off;
    RequestKind kind = RequestKind::Other;
    SimUSB::SetupPacket setup;
    // Bytes the host sent, or the bytes of the reply.
    size_t bytes = 0;
    SimUSB::ControlAnswer::Kind outcome = SimUSB::ControlAnswer::Kind::Stall;
};

class PyxUnit : public std::enable_shared_from_this<PyxUnit>
{
public:
    struct Options
    {
        // The maker's vendor id, under which both faces enumerate.
        uint16_t vendorID = 0;
        uint64_t rebootDelay = 50'000'000;
        uint64_t reEnumerationDelay = 500'000'000;
        size_t flashCapacity = 4u << 20;
        std::string runSerial = kDefaultRunSerial;
        std::string recoverySerial = kDefaultRecoverySerial;
    };

    enum class Failure
    {
        Stall,
        Hang,
    };

    static std::shared_ptr<PyxUnit> create(SimUSB::Bus& bus, uint8_t port, const Options& options);
    ~PyxUnit();
    PyxUnit(const PyxUnit&) = delete;
    PyxUnit& operator=(const PyxUnit&) = delete;

    // Factory state: `image` stored as a completed download.
    void installImage(std::span<const uint8_t> image);
    // Held BACK: the next boot comes up in recovery mode whatever the flash holds.
    void holdBack(bool held);

    // Power: on boots by the boot rule after `delay` ns; off is the unplug.
    void powerOn(uint64_t delay = 0);
    void powerOff();

    // Knobs.
    void failNext(RequestKind kind, unsigned count, Failure failure);
    // Replies of this kind hold at most `length` bytes (none: the full reply).
    void shortenReplies(RequestKind kind, std::optional<size_t> length);
    // The next upload of `block` comes back with byte `byte` flipped.
    void garbleUpload(uint16_t block, size_t byte);
    // The next download of `block` is stored with byte `byte` flipped.
    void corruptStoredBlock(uint16_t block, size_t byte);
    // While set, downloads are acknowledged as usual but nothing reaches the flash.
    void dropWrites(bool drop);
    void setBusyPolls(unsigned perBlock);
    void setBusyForever(bool busy);
    // bStatus of every status reply.
    void setStatusCode(uint8_t bStatus);
    // The unit leaves the bus instead of acknowledging a reboot request.
    void setDetachBeforeRebootAck(bool detach);
    // After its next reboot the unit stays away.
    void setNeverComeBack(bool never);
    // After its next reboot the unit enumerates with these instead of its own.
    void setComeBackAs(std::optional<uint16_t> productID, std::optional<std::string> serial);
    // Request number `index` (0 = the first in the log) is not answered; the power goes and comes
    // back `offTime` ns later.
    void powerLossAtRequest(size_t index, uint64_t offTime);
    // Request number `index` waits, before it is served, until `releaseHeldRequest`.
    void holdRequest(size_t index);
    void releaseHeldRequest();
    // True once the held request has arrived and waits.
    bool requestHeld() const;

    // Observables.
    Mode mode() const;
    std::vector<RequestRecord> requestLog() const;
    std::vector<uint8_t> storedImage() const;
    bool downloadComplete() const;
    unsigned overlappingRequests() const;
    std::shared_ptr<KorvanInterface::KorvanDevice> runModeDevice() const;

    // Called by the faces.
    std::optional<SimUSB::ControlAnswer> request(Mode face, const SimUSB::SetupPacket& setup,
                                                 std::span<const uint8_t> data);
    void faceDetached(const SimUSB::Device* face);

private:
    PyxUnit(SimUSB::Bus& bus, uint8_t port, const Options& options);

    // What the next boot brings up.
    struct Boot
    {
        bool runMode = false;
        uint16_t product = 0;
        std::string serial;
    };

    // Under fLock.
    Boot bootLocked();
    SimUSB::ControlAnswer serveLocked(RequestKind kind, const SimUSB::SetupPacket& setup,
                                      std::span<const uint8_t> data);
    SimUSB::ControlAnswer uploadLocked(uint16_t block);
    SimUSB::ControlAnswer downloadLocked(uint16_t block, std::span<const uint8_t> data);
    SimUSB::ControlAnswer statusLocked();
    SimUSB::ControlAnswer rebootLocked(bool intoRecovery);
    void scheduleLeaveLocked(uint64_t delay, uint64_t awayTime, bool powerLoss);

    // Without fLock: makes the face of `boot` and puts it in place.
    std::shared_ptr<SimUSB::Device> installFace(const Boot& boot);
    void leaveBus(uint64_t awayTime);
    void waitIfHeld(size_t index);

    SimUSB::Bus& fBus;
    const uint8_t fPort;
    const Options fOptions;

    mutable std::mutex fLock;
    std::condition_variable fHeldChanged;
    std::vector<uint8_t> fFlash;
    size_t fStoredSize = 0;
    bool fComplete = false;
    std::optional<uint16_t> fNextDownloadBlock;
    bool fHoldBack = false;
    bool fForceRecovery = false;

    Mode fMode = Mode::Off;
    bool fPowered = false;
    // Between a power cut or reboot and the face's departure the unit answers nothing.
    bool fDead = false;
    std::shared_ptr<SimUSB::Device> fFace;
    std::shared_ptr<RunModeFace> fRunModeFace;
    DarwinClock::AlarmId fLeaveAlarm = 0;

    std::vector<RequestRecord> fLog;
    unsigned fInProgress = 0;
    unsigned fOverlaps = 0;

    std::map<RequestKind, std::pair<unsigned, Failure>> fFailures;
    std::map<RequestKind, size_t> fShortReplies;
    std::optional<std::pair<uint16_t, size_t>> fGarbledUpload;
    std::optional<std::pair<uint16_t, size_t>> fCorruptedBlock;
    bool fDropWrites = false;
    unsigned fBusyPolls = 0;
    unsigned fBusyRemaining = 0;
    bool fBusyForever = false;
    uint8_t fStatusCode = 0;
    bool fDetachBeforeRebootAck = false;
    bool fNeverComeBack = false;
    std::optional<uint16_t> fComeBackProduct;
    std::optional<std::string> fComeBackSerial;
    std::optional<std::pair<size_t, uint64_t>> fPowerLoss;
    std::optional<size_t> fHeldIndex;
    bool fHolding = false;
};

} // namespace Pyx
