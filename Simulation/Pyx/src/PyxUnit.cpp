#include <Pyx/PyxUnit.h>

#include "Faces.h"

#include <algorithm>

namespace Pyx {

namespace {

using SimUSB::ControlAnswer;

RequestKind classify(Mode face, const SimUSB::SetupPacket& setup)
{
    const int code = setup.bmRequestType << 8 | setup.bRequest;
    if (face == Mode::Run) {
        if (setup.wIndex != kUpdaterIndex)
            return RequestKind::Other;
        switch (code) {
        case 0x4103:
            return RequestKind::RebootIntoRecovery;
        case 0xC105:
            return RequestKind::ReadHeader;
        default:
            return RequestKind::Other;
        }
    }
    switch (code) {
    case 0xA102:
        return RequestKind::Upload;
    case 0x2101:
        return RequestKind::Download;
    case 0xA103:
        return RequestKind::GetStatus;
    case 0x21F0:
        return RequestKind::RebootToApplication;
    case 0xA1F1:
        return RequestKind::TestStatus;
    default:
        return RequestKind::Other;
    }
}

} // namespace

std::shared_ptr<PyxUnit> PyxUnit::create(SimUSB::Bus& bus, uint8_t port, const Options& options)
{
    return std::shared_ptr<PyxUnit>(new PyxUnit(bus, port, options));
}

PyxUnit::PyxUnit(SimUSB::Bus& bus, uint8_t port, const Options& options)
    : fBus(bus), fPort(port), fOptions(options), fFlash(options.flashCapacity, 0xFF)
{}

PyxUnit::~PyxUnit()
{
    if (fLeaveAlarm != 0)
        DarwinClock::cancelAlarm(fLeaveAlarm);
}

void PyxUnit::installImage(std::span<const uint8_t> image)
{
    std::lock_guard lock(fLock);
    fStoredSize = std::min(image.size(), fFlash.size());
    std::copy_n(image.begin(), fStoredSize, fFlash.begin());
    fComplete = true;
}

void PyxUnit::holdBack(bool held)
{
    std::lock_guard lock(fLock);
    fHoldBack = held;
}

void PyxUnit::powerOn(uint64_t delay)
{
    Boot boot;
    {
        std::lock_guard lock(fLock);
        if (fPowered)
            return;
        fPowered = true;
        boot = bootLocked();
    }
    fBus.attach(fPort, installFace(boot), delay);
}

void PyxUnit::powerOff()
{
    DarwinClock::AlarmId alarm = 0;
    bool attached = false;
    {
        std::lock_guard lock(fLock);
        alarm = std::exchange(fLeaveAlarm, 0);
        attached = fFace != nullptr;
        fPowered = false;
        fDead = false;
        fMode = Mode::Off;
        fFace.reset();
        fRunModeFace.reset();
        fNextDownloadBlock.reset();
    }
    if (alarm != 0)
        DarwinClock::cancelAlarm(alarm);
    if (attached)
        fBus.detach(fPort);
}

void PyxUnit::failNext(RequestKind kind, unsigned count, Failure failure)
{
    std::lock_guard lock(fLock);
    fFailures[kind] = {count, failure};
}

void PyxUnit::shortenReplies(RequestKind kind, std::optional<size_t> length)
{
    std::lock_guard lock(fLock);
    if (length)
        fShortReplies[kind] = *length;
    else
        fShortReplies.erase(kind);
}

void PyxUnit::garbleUpload(uint16_t block, size_t byte)
{
    std::lock_guard lock(fLock);
    fGarbledUpload = std::pair{block, byte};
}

void PyxUnit::corruptStoredBlock(uint16_t block, size_t byte)
{
    std::lock_guard lock(fLock);
    fCorruptedBlock = std::pair{block, byte};
}

void PyxUnit::dropWrites(bool drop)
{
    std::lock_guard lock(fLock);
    fDropWrites = drop;
}

void PyxUnit::setBusyPolls(unsigned perBlock)
{
    std::lock_guard lock(fLock);
    fBusyPolls = perBlock;
}

void PyxUnit::setBusyForever(bool busy)
{
    std::lock_guard lock(fLock);
    fBusyForever = busy;
}

void PyxUnit::setStatusCode(uint8_t bStatus)
{
    std::lock_guard lock(fLock);
    fStatusCode = bStatus;
}

void PyxUnit::setDetachBeforeRebootAck(bool detach)
{
    std::lock_guard lock(fLock);
    fDetachBeforeRebootAck = detach;
}

void PyxUnit::setNeverComeBack(bool never)
{
    std::lock_guard lock(fLock);
    fNeverComeBack = never;
}

void PyxUnit::setComeBackAs(std::optional<uint16_t> productID, std::optional<std::string> serial)
{
    std::lock_guard lock(fLock);
    fComeBackProduct = productID;
    fComeBackSerial = std::move(serial);
}

void PyxUnit::powerLossAtRequest(size_t index, uint64_t offTime)
{
    std::lock_guard lock(fLock);
    fPowerLoss = std::pair{index, offTime};
}

void PyxUnit::holdRequest(size_t index)
{
    std::lock_guard lock(fLock);
    fHeldIndex = index;
}

void PyxUnit::releaseHeldRequest()
{
    std::lock_guard lock(fLock);
    fHeldIndex.reset();
    fHeldChanged.notify_all();
}

bool PyxUnit::requestHeld() const
{
    std::lock_guard lock(fLock);
    return fHolding;
}

Mode PyxUnit::mode() const
{
    std::lock_guard lock(fLock);
    return fMode;
}

std::vector<RequestRecord> PyxUnit::requestLog() const
{
    std::lock_guard lock(fLock);
    return fLog;
}

std::vector<uint8_t> PyxUnit::storedImage() const
{
    std::lock_guard lock(fLock);
    return {fFlash.begin(), fFlash.begin() + ptrdiff_t(fStoredSize)};
}

bool PyxUnit::downloadComplete() const
{
    std::lock_guard lock(fLock);
    return fComplete;
}

unsigned PyxUnit::overlappingRequests() const
{
    std::lock_guard lock(fLock);
    return fOverlaps;
}

std::shared_ptr<KorvanInterface::KorvanDevice> PyxUnit::runModeDevice() const
{
    std::lock_guard lock(fLock);
    return fRunModeFace;
}

std::optional<ControlAnswer> PyxUnit::request(Mode face, const SimUSB::SetupPacket& setup,
                                              std::span<const uint8_t> data)
{
    const RequestKind kind = classify(face, setup);
    if (face == Mode::Run && kind == RequestKind::Other)
        return std::nullopt;
    size_t index = 0;
    {
        std::lock_guard lock(fLock);
        if (fDead)
            return ControlAnswer::hang();
        index = fLog.size();
        fLog.push_back({DarwinClock::hostNow(), face, kind, setup, 0, ControlAnswer::Kind::Hang});
        if (++fInProgress > 1)
            ++fOverlaps;
    }
    waitIfHeld(index);
    std::lock_guard lock(fLock);
    ControlAnswer answer = serveLocked(kind, setup, data);
    if (answer.kind == ControlAnswer::Kind::Data) {
        if (const auto cut = fShortReplies.find(kind); cut != fShortReplies.end())
            answer.data.resize(std::min(answer.data.size(), cut->second));
    }
    RequestRecord& record = fLog[index];
    record.outcome = answer.kind;
    record.bytes = setup.deviceToHost() ? std::min<size_t>(answer.data.size(), setup.wLength) : data.size();
    --fInProgress;
    return answer;
}

void PyxUnit::waitIfHeld(size_t index)
{
    std::unique_lock lock(fLock);
    if (fHeldIndex != index)
        return;
    fHolding = true;
    fHeldChanged.wait(lock, [&] { return fHeldIndex != index; });
    fHolding = false;
}

ControlAnswer PyxUnit::serveLocked(RequestKind kind, const SimUSB::SetupPacket& setup,
                                   std::span<const uint8_t> data)
{
    if (fPowerLoss && fPowerLoss->first == fLog.size() - 1) {
        const uint64_t offTime = fPowerLoss->second;
        fPowerLoss.reset();
        fDead = true;
        scheduleLeaveLocked(0, offTime, true);
        return ControlAnswer::hang();
    }
    if (auto failure = fFailures.find(kind); failure != fFailures.end() && failure->second.first > 0) {
        --failure->second.first;
        return failure->second.second == Failure::Stall ? ControlAnswer::stall() : ControlAnswer::hang();
    }
    switch (kind) {
    case RequestKind::Upload:
        return uploadLocked(setup.wValue);
    case RequestKind::Download:
        return downloadLocked(setup.wValue, data);
    case RequestKind::GetStatus:
        return statusLocked();
    case RequestKind::TestStatus:
        return ControlAnswer::withData({1});
    case RequestKind::RebootToApplication:
        return rebootLocked(false);
    case RequestKind::RebootIntoRecovery:
        return rebootLocked(true);
    case RequestKind::ReadHeader: {
        std::vector<uint8_t> header(64, 0);
        std::copy_n(fFlash.begin(), std::min<size_t>(64, fStoredSize), header.begin());
        return ControlAnswer::withData(std::move(header));
    }
    case RequestKind::Other:
        break;
    }
    return ControlAnswer::stall();
}

ControlAnswer PyxUnit::uploadLocked(uint16_t block)
{
    const size_t offset = size_t(block) * kBlockSize;
    const size_t end = std::min(offset + kBlockSize, fStoredSize);
    std::vector<uint8_t> bytes;
    if (offset < end)
        bytes.assign(fFlash.begin() + ptrdiff_t(offset), fFlash.begin() + ptrdiff_t(end));
    if (fGarbledUpload && fGarbledUpload->first == block && fGarbledUpload->second < bytes.size()) {
        bytes[fGarbledUpload->second] ^= 0xFF;
        fGarbledUpload.reset();
    }
    return ControlAnswer::withData(std::move(bytes));
}

ControlAnswer PyxUnit::downloadLocked(uint16_t block, std::span<const uint8_t> data)
{
    if (data.size() > kBlockSize)
        return ControlAnswer::stall();
    if (block == 0) {
        fComplete = false;
        fStoredSize = 0;
        fNextDownloadBlock = 0;
    }
    const size_t offset = size_t(block) * kBlockSize;
    if (fNextDownloadBlock != block || offset + data.size() > fFlash.size())
        return ControlAnswer::stall();
    if (!fDropWrites)
        std::copy(data.begin(), data.end(), fFlash.begin() + ptrdiff_t(offset));
    if (fCorruptedBlock && fCorruptedBlock->first == block && fCorruptedBlock->second < data.size()) {
        fFlash[offset + fCorruptedBlock->second] ^= 0xFF;
        fCorruptedBlock.reset();
    }
    fStoredSize = offset + data.size();
    if (data.size() < kBlockSize) {
        fComplete = true;
        fNextDownloadBlock.reset();
    } else {
        fNextDownloadBlock = uint16_t(block + 1);
    }
    fBusyRemaining = fBusyPolls;
    return ControlAnswer::ack();
}

ControlAnswer PyxUnit::statusLocked()
{
    const bool busy = fBusyForever || fBusyRemaining > 0;
    if (fBusyRemaining > 0)
        --fBusyRemaining;
    return ControlAnswer::withData({fStatusCode, 0, 0, 0, busy ? kStateBusy : kStateIdle, 0});
}

ControlAnswer PyxUnit::rebootLocked(bool intoRecovery)
{
    fDead = true;
    if (fDetachBeforeRebootAck) {
        scheduleLeaveLocked(0, fOptions.reEnumerationDelay, false);
        return ControlAnswer::hang();
    }
    fForceRecovery = intoRecovery;
    scheduleLeaveLocked(fOptions.rebootDelay, fOptions.reEnumerationDelay, false);
    return ControlAnswer::ack();
}

void PyxUnit::scheduleLeaveLocked(uint64_t delay, uint64_t awayTime, bool powerLoss)
{
    if (powerLoss)
        fForceRecovery = false;
    fLeaveAlarm = DarwinClock::scheduleAlarm(
        DarwinClock::addSaturating(DarwinClock::hostNow(), delay),
        [weak = weak_from_this(), awayTime] {
            if (const auto unit = weak.lock())
                unit->leaveBus(awayTime);
        },
        powerLoss ? "Pyx power loss" : "Pyx reboot");
}

void PyxUnit::leaveBus(uint64_t awayTime)
{
    std::shared_ptr<SimUSB::Device> leaving;
    std::shared_ptr<SimUSB::Device> next;
    std::optional<Boot> boot;
    {
        std::lock_guard lock(fLock);
        fLeaveAlarm = 0;
        if (!fPowered || !fFace)
            return;
        leaving = fFace;
        fNextDownloadBlock.reset();
        fBusyRemaining = 0;
        if (fNeverComeBack) {
            fFace.reset();
            fRunModeFace.reset();
            fMode = Mode::Rebooting;
        } else {
            boot = bootLocked();
        }
    }
    if (boot)
        next = installFace(*boot);
    if (auto runMode = std::dynamic_pointer_cast<RunModeFace>(leaving))
        runMode->leave(awayTime, next);
    else if (auto recovery = std::dynamic_pointer_cast<RecoveryFace>(leaving))
        recovery->leave(awayTime, next);
}

void PyxUnit::faceDetached(const SimUSB::Device* face)
{
    std::lock_guard lock(fLock);
    if (face != fFace.get())
        return;
    // Unplugged: the unit has lost its power.
    fFace.reset();
    fRunModeFace.reset();
    fPowered = false;
    fDead = false;
    fMode = Mode::Off;
    fNextDownloadBlock.reset();
}

PyxUnit::Boot PyxUnit::bootLocked()
{
    fDead = false;
    fBusyRemaining = 0;
    const bool runMode = fComplete && fStoredSize >= 64 && !fHoldBack && !fForceRecovery;
    fForceRecovery = false;
    fMode = runMode ? Mode::Run : Mode::Recovery;
    return {runMode, fComeBackProduct.value_or(runMode ? kRunModeProductID : kRecoveryProductID),
            fComeBackSerial.value_or(runMode ? fOptions.runSerial : fOptions.recoverySerial)};
}

std::shared_ptr<SimUSB::Device> PyxUnit::installFace(const Boot& boot)
{
    // Made outside the unit's lock: a face's own lock is taken before the unit's on every request.
    std::shared_ptr<RunModeFace> runMode;
    std::shared_ptr<SimUSB::Device> face;
    if (boot.runMode) {
        KorvanInterface::DescriptorOptions options(KorvanInterface::Model::Pyx, fOptions.vendorID);
        options.idProduct = boot.product;
        options.serial = boot.serial;
        runMode = std::make_shared<RunModeFace>(options, weak_from_this());
        face = runMode;
    } else {
        face = std::make_shared<RecoveryFace>(fOptions.vendorID, boot.product, boot.serial, weak_from_this());
    }
    std::lock_guard lock(fLock);
    fRunModeFace = runMode;
    fFace = face;
    return face;
}

} // namespace Pyx
