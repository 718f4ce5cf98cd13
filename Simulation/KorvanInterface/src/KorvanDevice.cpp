// The device's identity, its standard requests and its logs.

#include <KorvanInterface/KorvanDevice.h>

#include <algorithm>

using SimUSB::ControlAnswer;
using SimUSB::SetupPacket;

namespace KorvanInterface {

KorvanDevice::KorvanDevice(const DescriptorOptions& options, RequestHook hook)
    : fOptions(options), fDescriptors(buildDescriptors(options)), fRequestHook(std::move(hook))
{
    readStreams();
}

// Channels, subslot and packet size of every streaming alternate, as the descriptors give them.
void KorvanDevice::readStreams()
{
    const std::vector<uint8_t>& bytes = fDescriptors.configuration;
    Stream* current = nullptr;
    for (size_t at = 0; at + 2 <= bytes.size();) {
        const uint8_t length = bytes[at];
        if (length < 2 || at + length > bytes.size()) {
            break;
        }
        const uint8_t type = bytes[at + 1];
        const uint8_t* d = &bytes[at];
        if (type == SimUSB::DescriptorType::kInterface && length >= 9) {
            const bool streaming =
                (d[2] == kPlaybackInterface || d[2] == kRecordInterface) && d[3] >= 1 && d[3] <= 3;
            current = streaming ? &fStreams[d[2]][d[3]] : nullptr;
        } else if (current != nullptr && type == SimUSB::DescriptorType::kClassInterface && length >= 11 &&
                   d[2] == 0x01) {
            current->channels = d[10];
        } else if (current != nullptr && type == SimUSB::DescriptorType::kClassInterface && length >= 6 &&
                   d[2] == 0x02) {
            current->subslot = d[4];
        } else if (current != nullptr && type == SimUSB::DescriptorType::kEndpoint && length >= 7 &&
                   (d[3] & 3) == 1 && (d[3] & 0x30) != 0x10) {
            current->maxPacket = SimUSB::bytesPerMicroframe(uint16_t(d[4] | d[5] << 8));
        }
        at += length;
    }
}

std::vector<uint8_t> KorvanDevice::deviceDescriptor()
{
    return fDescriptors.device;
}

std::vector<uint8_t> KorvanDevice::configurationDescriptor(uint8_t index)
{
    return index == 0 ? fDescriptors.configuration : std::vector<uint8_t>{};
}

std::optional<std::vector<uint8_t>> KorvanDevice::stringDescriptor(uint8_t index, uint16_t language)
{
    return fDescriptors.string(index, language);
}

ControlAnswer KorvanDevice::control(const SetupPacket& setup, std::span<const uint8_t> data)
{
    std::lock_guard lock(fLock);
    ControlAnswer result = answer(setup, data);
    fControlLog.push({setup, std::vector<uint8_t>(data.begin(), data.end()), result.kind, result.data});
    return result;
}

ControlAnswer KorvanDevice::answer(const SetupPacket& setup, std::span<const uint8_t> data)
{
    for (Rule& rule : fRules) {
        const RequestMatch& m = rule.match;
        if (rule.times == 0 || m.bmRequestType != setup.bmRequestType || m.bRequest != setup.bRequest ||
            (m.wValue && *m.wValue != setup.wValue) || (m.wIndex && *m.wIndex != setup.wIndex)) {
            continue;
        }
        if (rule.times > 0) {
            --rule.times;
        }
        // A stalled or unanswered request changes nothing in the device.
        switch (rule.misbehaviour.kind) {
        case Misbehaviour::Kind::Stall:
            return ControlAnswer::stall();
        case Misbehaviour::Kind::Hang:
            return ControlAnswer::hang();
        case Misbehaviour::Kind::Late: {
            ControlAnswer late = respond(setup, data);
            late.delay = rule.misbehaviour.delay;
            return late;
        }
        case Misbehaviour::Kind::Short: {
            ControlAnswer cut = respond(setup, data);
            if (cut.kind == ControlAnswer::Kind::Data) {
                cut.data.resize(std::min(cut.data.size(), rule.misbehaviour.length));
            }
            return cut;
        }
        }
    }
    return respond(setup, data);
}

ControlAnswer KorvanDevice::respond(const SetupPacket& setup, std::span<const uint8_t> data)
{
    if (fRequestHook) {
        if (std::optional<ControlAnswer> hooked = fRequestHook(setup, data)) {
            return *hooked;
        }
    }
    switch (setup.type()) {
    case 0:
        return standardRequest(setup);
    case 1:
        return classRequest(setup, data);
    case 2:
        return vendorRequest(setup);
    default:
        return ControlAnswer::stall();
    }
}

ControlAnswer KorvanDevice::standardRequest(const SetupPacket& setup)
{
    using namespace SimUSB::Request;
    const uint8_t alternates = fOptions.alternates;
    switch (setup.bRequest) {
    case kGetDescriptor:
        return answerGetDescriptor(setup);
    case kSetAddress:
        return setup.bmRequestType == 0x00 && setup.wValue <= 127 ? ControlAnswer::ack()
                                                                  : ControlAnswer::stall();
    case kSetConfiguration:
        return setup.bmRequestType == 0x00 && setup.wValue <= 1 ? ControlAnswer::ack()
                                                                : ControlAnswer::stall();
    case kGetConfiguration:
        return setup.bmRequestType == 0x80 ? ControlAnswer::withData({fConfiguration})
                                           : ControlAnswer::stall();
    case kSetInterface:
        if (setup.bmRequestType != 0x01 || fConfiguration != 1) {
            return ControlAnswer::stall();
        }
        if ((setup.wIndex == kControlInterface && setup.wValue == 0) ||
            ((setup.wIndex == kPlaybackInterface || setup.wIndex == kRecordInterface) &&
             setup.wValue <= alternates)) {
            return ControlAnswer::ack();
        }
        return ControlAnswer::stall();
    case kGetInterface:
        if (setup.bmRequestType != 0x81 || fConfiguration != 1 || setup.wIndex > kRecordInterface) {
            return ControlAnswer::stall();
        }
        return ControlAnswer::withData({fAlternates[setup.wIndex]});
    case kGetStatus:
        return (setup.bmRequestType & 0x80) != 0 ? ControlAnswer::withData({0, 0}) : ControlAnswer::stall();
    case kClearFeature:
        return setup.bmRequestType == 0x02 && setup.wValue == SimUSB::kFeatureEndpointHalt
                   ? ControlAnswer::ack()
                   : ControlAnswer::stall();
    default:
        return ControlAnswer::stall();
    }
}

void KorvanDevice::addressSet(uint8_t address)
{
    std::lock_guard lock(fLock);
    fAddress = address;
}

void KorvanDevice::configurationSet(uint8_t value)
{
    std::lock_guard lock(fLock);
    fConfiguration = value;
    fAlternates.fill(0);
    fHeaderMode = false;
    fLoopbackFifo.clear();
}

void KorvanDevice::interfaceSet(uint8_t interface, uint8_t alternate)
{
    std::lock_guard lock(fLock);
    if (interface > kRecordInterface) {
        return;
    }
    fAlternates[interface] = alternate;
    fInterfaceLog.push({interface, alternate});
    // The record interface at rest ends header mode; the driver enables it again before each start.
    if (interface == kRecordInterface && alternate == 0) {
        fHeaderMode = false;
    }
    fLoopbackFifo.clear();
    checkFamily(interface);
}

void KorvanDevice::checkFamily(uint8_t interface)
{
    const uint8_t alternate = fAlternates[interface];
    if (interface == kControlInterface || alternate == 0) {
        return;
    }
    Family family;
    if (!familyOfRate(fRate, &family) || int(family) != alternate - 1) {
        logError("interface " + std::to_string(interface) + " streams at alternate " +
                 std::to_string(alternate) + " while the rate is " + std::to_string(fRate));
    }
}

void KorvanDevice::logError(std::string text)
{
    fErrors.push(std::move(text));
}

void KorvanDevice::setHeaderVersion(uint8_t version)
{
    std::lock_guard lock(fLock);
    fHeaderVersion = version;
}

void KorvanDevice::setDriftPpm(int32_t ppm)
{
    std::lock_guard lock(fLock);
    fDriftPpm = ppm;
}

void KorvanDevice::setFrameCounter(uint32_t count)
{
    std::lock_guard lock(fLock);
    fFrameCounter = count;
}

void KorvanDevice::setLoopback(bool on)
{
    std::lock_guard lock(fLock);
    fLoopback = on;
    fLoopbackFifo.clear();
}

void KorvanDevice::forceSelectorPin(uint8_t pin)
{
    std::lock_guard lock(fLock);
    fPin = pin;
}

void KorvanDevice::misbehave(const RequestMatch& match, const Misbehaviour& misbehaviour, int times)
{
    std::lock_guard lock(fLock);
    fRules.push_back({match, misbehaviour, times});
}

void KorvanDevice::injectRecordFault(const RecordFault& fault)
{
    std::lock_guard lock(fLock);
    fRecordFaults.push_back(fault);
}

uint32_t KorvanDevice::sampleRate() const
{
    std::lock_guard lock(fLock);
    return fRate;
}

uint8_t KorvanDevice::selectorPin() const
{
    std::lock_guard lock(fLock);
    return fPin;
}

bool KorvanDevice::headerMode() const
{
    std::lock_guard lock(fLock);
    return fHeaderMode;
}

uint8_t KorvanDevice::alternate(uint8_t interface) const
{
    std::lock_guard lock(fLock);
    return interface <= kRecordInterface ? fAlternates[interface] : 0;
}

uint8_t KorvanDevice::address() const
{
    std::lock_guard lock(fLock);
    return fAddress;
}

uint8_t KorvanDevice::configuration() const
{
    std::lock_guard lock(fLock);
    return fConfiguration;
}

size_t KorvanDevice::statusOverflows() const
{
    std::lock_guard lock(fLock);
    return fStatusOverflows;
}

size_t KorvanDevice::flippedFrames() const
{
    std::lock_guard lock(fLock);
    return fFlipped;
}

std::vector<KorvanDevice::ControlRecord> KorvanDevice::controlLog() const
{
    std::lock_guard lock(fLock);
    return fControlLog.items();
}

std::vector<std::pair<uint8_t, uint8_t>> KorvanDevice::interfaceLog() const
{
    std::lock_guard lock(fLock);
    return fInterfaceLog.items();
}

std::vector<std::pair<uint64_t, uint32_t>> KorvanDevice::recordFrames() const
{
    std::lock_guard lock(fLock);
    return fRecordFrames.items();
}

std::vector<std::pair<uint64_t, uint32_t>> KorvanDevice::playbackBytes() const
{
    std::lock_guard lock(fLock);
    std::vector<std::pair<uint64_t, uint32_t>> result;
    for (const PlaybackRecord& record : fPlaybackBytes.items()) {
        result.emplace_back(record.microframe, record.bytes);
    }
    return result;
}

std::vector<int32_t> KorvanDevice::playedSamples() const
{
    std::lock_guard lock(fLock);
    return fPlayed.items();
}

std::vector<std::vector<uint8_t>> KorvanDevice::statusLog() const
{
    std::lock_guard lock(fLock);
    return fStatusLog.items();
}

std::vector<std::string> KorvanDevice::protocolErrors() const
{
    std::lock_guard lock(fLock);
    return fErrors.items();
}

} // namespace KorvanInterface
