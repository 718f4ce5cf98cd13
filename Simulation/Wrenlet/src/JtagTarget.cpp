#include <Wrenlet/JtagTarget.h>

namespace Wrenlet {

namespace {

constexpr uint16_t kIRMask = (1 << JtagTarget::kIRLength) - 1;

} // namespace

uint32_t JtagTarget::idcodeOf(char variant)
{
    // Bit 0 set as IEEE 1149.1 asks; the rest is the model's own.
    return 0x5EED0001u | uint32_t(uint8_t(variant)) << 4;
}

JtagTarget::JtagTarget(char variant) : fVariant(variant), fIdcodeVariant(variant) {}

std::optional<SimUSB::ControlAnswer> JtagTarget::request(const SimUSB::SetupPacket& setup,
                                                         std::span<const uint8_t> data)
{
    if (setup.wIndex != 7 || (setup.bRequest != kRequestProgramEnable && setup.bRequest != kRequestClocks) ||
        (setup.bmRequestType != 0xC0 && setup.bmRequestType != 0x40)) {
        return std::nullopt;
    }
    std::function<void()> action;
    std::optional<SimUSB::ControlAnswer> result;
    {
        std::lock_guard lock(fLock);
        ++fRequestCount;
        if (fStallAt && *fStallAt == fRequestCount) {
            result = SimUSB::ControlAnswer::stall();
        } else {
            result = answer(setup, data);
        }
        fRequests.push_back({setup.bmRequestType, setup.bRequest, setup.wValue, setup.wLength,
                             result->kind == SimUSB::ControlAnswer::Kind::Stall});
        if (fActionAt && *fActionAt == fRequestCount) {
            action = fAction;
        }
    }
    // Outside the lock: the action may be a power loss that comes back into the target.
    if (action) {
        action();
    }
    return result;
}

std::optional<SimUSB::ControlAnswer> JtagTarget::answer(const SimUSB::SetupPacket& setup,
                                                        std::span<const uint8_t> data)
{
    using SimUSB::ControlAnswer;
    if (setup.bRequest == kRequestProgramEnable) {
        if (setup.bmRequestType != 0xC0 || setup.wValue > 1 || setup.wLength != 0) {
            return ControlAnswer::stall();
        }
        fProgramEnabled = setup.wValue == 1;
        fEnableTransitions.push_back(fProgramEnabled);
        return ControlAnswer::ack();
    }
    if (!fProgramEnabled) {
        return ControlAnswer::stall();
    }
    if (setup.bmRequestType == 0x40) {
        const unsigned bits = setup.wValue;
        if (bits % 2 != 0 || bits > 128 || setup.wLength != (bits + 7) / 8 || data.size() != setup.wLength) {
            return ControlAnswer::stall();
        }
        for (unsigned k = 0; k < bits / 2; ++k) {
            const bool tdi = (data[(2 * k) / 8] >> ((2 * k) % 8)) & 1;
            const bool tms = (data[(2 * k + 1) / 8] >> ((2 * k + 1) % 8)) & 1;
            clockLocked(tms, tdi);
        }
        return ControlAnswer::ack();
    }
    if (setup.wValue > 3 || setup.wLength != 1) {
        return ControlAnswer::stall();
    }
    bool tdo = clockLocked((setup.wValue & 2) != 0, (setup.wValue & 1) != 0);
    if (!fScriptedTdo.empty()) {
        tdo = fScriptedTdo.front();
        fScriptedTdo.pop_front();
    }
    return ControlAnswer::withData({uint8_t(tdo)});
}

bool JtagTarget::clock(bool tms, bool tdi)
{
    std::lock_guard lock(fLock);
    return clockLocked(tms, tdi);
}

bool JtagTarget::tdo() const
{
    std::lock_guard lock(fLock);
    return fState == TapState::ShiftDR ? (fDR & 1) != 0 : fState == TapState::ShiftIR && (fIRShift & 1) != 0;
}

bool JtagTarget::clockLocked(bool tms, bool tdi)
{
    bool tdo = false;
    switch (fState) {
    case TapState::ShiftDR:
        tdo = fDR & 1;
        fDR = (fDR >> 1) | (uint64_t(tdi) << (fDRLength - 1));
        ++fShifted;
        break;
    case TapState::ShiftIR:
        tdo = fIRShift & 1;
        fIRShift = (fIRShift >> 1) | (uint64_t(tdi) << (kIRLength - 1));
        ++fShifted;
        break;
    case TapState::RunTestIdle:
        if (fDonePending && ++fIdleClocks >= kDoneClocks) {
            completeConfiguration();
        }
        break;
    default:
        break;
    }
    const TapState next = nextTapState(fState, tms);
    if (next != TapState::ShiftDR && next != TapState::ShiftIR &&
        (fState == TapState::ShiftDR || fState == TapState::ShiftIR)) {
        const bool ir = fState == TapState::ShiftIR;
        fShifts.push_back({ir, fShifted, ir ? fIRShift : fDR});
    }
    fState = next;
    fTrace.push_back(next);
    switch (next) {
    case TapState::TestLogicReset:
        fIR = IDCODE;
        break;
    case TapState::CaptureDR:
        captureDR();
        break;
    case TapState::CaptureIR:
        fIRShift = 1;
        fShifted = 0;
        break;
    case TapState::UpdateDR:
        updateDR();
        break;
    case TapState::UpdateIR:
        updateIR();
        break;
    default:
        break;
    }
    return tdo;
}

void JtagTarget::captureDR()
{
    fShifted = 0;
    switch (fIR) {
    case IDCODE:
        fDR = idcodeOf(fIdcodeVariant);
        fDRLength = 32;
        break;
    case STATUS:
        fDR = statusLocked();
        fDRLength = 32;
        break;
    case PROGRAM:
        fDR = 0;
        fDRLength = 32;
        break;
    default:
        fDR = 0;
        fDRLength = 1;
        break;
    }
}

void JtagTarget::updateIR()
{
    fIR = uint16_t(fIRShift & kIRMask);
    fInstructions.push_back(fIR);
    switch (fIR) {
    case ENABLE:
        fProgramming = true;
        break;
    case DISABLE:
        fProgramming = false;
        fDonePending = false;
        break;
    case ERASE:
        if (fProgramming) {
            fMemory.clear();
            fConfigured.reset();
            fErased = true;
            fError = false;
        }
        break;
    case DONE:
        if (fProgramming) {
            fDonePending = true;
            fIdleClocks = 0;
        }
        break;
    default:
        break;
    }
}

void JtagTarget::updateDR()
{
    if (fIR == PROGRAM && fProgramming && fErased) {
        for (int i = 0; i < 4; ++i) {
            fMemory.push_back(uint8_t(fDR >> (8 * i)));
        }
    }
}

void JtagTarget::completeConfiguration()
{
    fDonePending = false;
    const auto configuration = readFpgaBitstream(fMemory);
    if (configuration && configuration->variant == fVariant) {
        fConfigured = configuration;
        fErased = false;
    } else {
        fError = true;
    }
}

uint32_t JtagTarget::statusLocked() const
{
    return (fErased ? uint32_t(Erased) : 0u) | (fProgramming ? uint32_t(Programming) : 0u) |
           (fConfigured ? uint32_t(Configured) : 0u) | (fError ? uint32_t(Error) : 0u);
}

void JtagTarget::powerLoss()
{
    std::lock_guard lock(fLock);
    fProgramEnabled = false;
    fState = TapState::TestLogicReset;
    fIR = IDCODE;
    fIRShift = 0;
    fDR = 0;
    fDRLength = 1;
    fProgramming = false;
    fDonePending = false;
    fScriptedTdo.clear();
}

std::string JtagTarget::fpgaVersion() const
{
    std::lock_guard lock(fLock);
    return fConfigured ? fConfigured->version : std::string();
}

void JtagTarget::setVariant(char variant)
{
    std::lock_guard lock(fLock);
    fVariant = variant;
    fIdcodeVariant = variant;
}

void JtagTarget::setConfigured(const std::string& version)
{
    std::lock_guard lock(fLock);
    fMemory = makeFpgaBitstream(fVariant, version, {});
    fConfigured = FpgaConfiguration{fVariant, version};
}

void JtagTarget::setIdcodeVariant(char variant)
{
    std::lock_guard lock(fLock);
    fIdcodeVariant = variant;
}

void JtagTarget::scriptTdo(std::vector<bool> bits)
{
    std::lock_guard lock(fLock);
    fScriptedTdo.assign(bits.begin(), bits.end());
}

void JtagTarget::stallOnRequest(unsigned n)
{
    std::lock_guard lock(fLock);
    fStallAt = fRequestCount + n;
}

void JtagTarget::onRequest(unsigned n, std::function<void()> action)
{
    std::lock_guard lock(fLock);
    fActionAt = fRequestCount + n;
    fAction = std::move(action);
}

std::vector<TapState> JtagTarget::stateTrace() const
{
    std::lock_guard lock(fLock);
    return fTrace;
}

std::vector<JtagTarget::Shift> JtagTarget::shifts() const
{
    std::lock_guard lock(fLock);
    return fShifts;
}

std::vector<JtagTarget::Request> JtagTarget::requests() const
{
    std::lock_guard lock(fLock);
    return fRequests;
}

std::vector<bool> JtagTarget::programEnableTransitions() const
{
    std::lock_guard lock(fLock);
    return fEnableTransitions;
}

std::vector<uint16_t> JtagTarget::instructions() const
{
    std::lock_guard lock(fLock);
    return fInstructions;
}

uint32_t JtagTarget::status() const
{
    std::lock_guard lock(fLock);
    return statusLocked();
}

bool JtagTarget::programEnabled() const
{
    std::lock_guard lock(fLock);
    return fProgramEnabled;
}

} // namespace Wrenlet
