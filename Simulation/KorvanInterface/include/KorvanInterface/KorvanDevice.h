#pragma once

// The UAC2 audio interface as a device on the simulated bus. It keeps its own state (address,
// configuration, alternates, sample rate, clock-selector pin, header mode, counters), refuses what
// the real device refuses, keeps bounded logs for tests, and misbehaves when told to.

#include <Darwin/InheritingMutex.h>
#include <KorvanInterface/Descriptors.h>

#include <SimUSB/Device.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace KorvanInterface {

class KorvanDevice : public SimUSB::Device
{
public:
    static constexpr size_t kStatusQueueLimit = 32;
    static constexpr uint64_t kLogMicroframes = 80'000; // 10 s

    // A device built on this one answers its own requests in `hook`, before the model does. It
    // runs under the model's lock after the misbehaviour rules, and is logged like the rest, so it
    // must not call back into the model. No answer leaves the request to the model.
    using RequestHook = std::function<std::optional<SimUSB::ControlAnswer>(const SimUSB::SetupPacket&,
                                                                           std::span<const uint8_t>)>;

    explicit KorvanDevice(const DescriptorOptions& options, RequestHook hook = {});

    // SimUSB::Device.
    std::vector<uint8_t> deviceDescriptor() override;
    std::vector<uint8_t> configurationDescriptor(uint8_t index) override;
    std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t index, uint16_t language) override;
    SimUSB::ControlAnswer control(const SimUSB::SetupPacket& setup, std::span<const uint8_t> data) override;
    SimUSB::InPacket in(uint8_t endpoint, std::span<uint8_t> space) override;
    SimUSB::InPacket isochronousIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> space) override;
    void isochronousOut(uint8_t endpoint, uint64_t microframe, std::span<const uint8_t> bytes) override;
    void addressSet(uint8_t address) override;
    void configurationSet(uint8_t value) override;
    void interfaceSet(uint8_t interface, uint8_t alternate) override;

    const DescriptorSet& descriptors() const { return fDescriptors; }

    // Settings.
    // The streaming-header version the vendor query reports (0 to 3; 0 refuses the enable).
    void setHeaderVersion(uint8_t version);
    void setDriftPpm(int32_t ppm);
    // The running frame count of the next packet's header starts here.
    void setFrameCounter(uint32_t count);
    void setLoopback(bool on);
    // Sets the clock-selector pin without the range check a SET CUR gets (0 included).
    void forceSelectorPin(uint8_t pin);

    // Misbehaviour of control requests that match (any wValue or wIndex when absent).
    struct RequestMatch
    {
        uint8_t bmRequestType;
        uint8_t bRequest;
        std::optional<uint16_t> wValue;
        std::optional<uint16_t> wIndex;
    };
    struct Misbehaviour
    {
        enum class Kind
        {
            Stall,
            Hang,  // no answer at all
            Late,  // the normal answer after `delay` ns
            Short, // the normal answer cut to `length` bytes (0: success without data)
        };
        Kind kind;
        uint64_t delay = 0;
        size_t length = 0;
    };
    // `times` requests misbehave (-1: every one from now on).
    void misbehave(const RequestMatch& match, const Misbehaviour& misbehaviour, int times = -1);

    // Record-stream faults from `first` (an absolute microframe) for `count` microframes.
    struct RecordFault
    {
        enum class Kind
        {
            Drop,           // nothing sent, though the frame counter advances
            CounterJump,    // the header's running total jumps by `jump`
            Babble,         // a packet one byte longer than the endpoint allows
            FillMaxPacket,  // as many frames as the max packet holds
            StopResponding, // every packet fails with kNotResponding
        };
        Kind kind;
        uint64_t first = 0;
        uint64_t count = 1;
        uint32_t jump = 0;
    };
    void injectRecordFault(const RecordFault& fault);

    // Interrupt-IN status messages (UAC2: bInfo, bAttribute, wValue = CN | CS << 8, wIndex =
    // interface | entity << 8).
    // The clock changes by itself: the rate becomes `rate`, then {00 01 00 01 00 10} is sent.
    void changeRateFromDevice(uint32_t rate);
    void sendVendorStatus();
    void sendEndpointStatus();
    void sendSevenByteStatus();
    void sendStatus(std::vector<uint8_t> payload);

    // State.
    uint32_t sampleRate() const;
    uint8_t selectorPin() const;
    bool headerMode() const;
    uint8_t alternate(uint8_t interface) const;
    uint8_t address() const;
    uint8_t configuration() const;
    size_t statusOverflows() const;
    size_t flippedFrames() const;

    // Logs.
    struct ControlRecord
    {
        SimUSB::SetupPacket setup;
        std::vector<uint8_t> data;
        SimUSB::ControlAnswer::Kind answer;
        std::vector<uint8_t> answerData;
    };
    std::vector<ControlRecord> controlLog() const;
    std::vector<std::pair<uint8_t, uint8_t>> interfaceLog() const;
    // Per microframe of the last 10 s: frames sent on the record endpoint, bytes taken on playback.
    std::vector<std::pair<uint64_t, uint32_t>> recordFrames() const;
    std::vector<std::pair<uint64_t, uint32_t>> playbackBytes() const;
    // Played samples, decoded to 24-bit values, interleaved, oldest first (the last 2^20 kept).
    std::vector<int32_t> playedSamples() const;
    std::vector<std::vector<uint8_t>> statusLog() const;
    std::vector<std::string> protocolErrors() const;

    // Microframes whose playback size is not the record frames of 2400 microframes earlier times the
    // playback bytes per frame (only where that record microframe is in the log).
    std::vector<uint64_t> mirrorMismatches() const;

private:
    struct Stream
    {
        uint8_t channels = 0;
        uint8_t subslot = 0;
        uint32_t maxPacket = 0;
    };
    struct Rule
    {
        RequestMatch match;
        Misbehaviour misbehaviour;
        int times;
    };
    // The last `capacity` items pushed.
    template <typename T>
    struct Ring
    {
        explicit Ring(size_t capacity) : fCapacity(capacity) {}
        void push(T value)
        {
            if (fItems.size() < fCapacity) {
                fItems.push_back(std::move(value));
            } else {
                fItems[fNext] = std::move(value);
            }
            if (++fNext == fCapacity) {
                fNext = 0;
            }
        }
        void push(const T* values, size_t count)
        {
            while (fItems.size() < fCapacity && count != 0) {
                push(*values++);
                --count;
            }
            while (count != 0) {
                const size_t run = std::min(count, fCapacity - fNext);
                std::copy(values, values + run, fItems.begin() + ptrdiff_t(fNext));
                values += run;
                count -= run;
                fNext = (fNext + run) % fCapacity;
            }
        }
        std::vector<T> items() const
        {
            if (fItems.size() < fCapacity) {
                return fItems;
            }
            std::vector<T> ordered(fItems.begin() + ptrdiff_t(fNext), fItems.end());
            ordered.insert(ordered.end(), fItems.begin(), fItems.begin() + ptrdiff_t(fNext));
            return ordered;
        }
        size_t fCapacity;
        size_t fNext = 0;
        std::vector<T> fItems;
    };
    struct PlaybackRecord
    {
        uint64_t microframe;
        uint32_t bytes;
        uint32_t bytesPerFrame;
    };

    void readStreams();
    // The answer with misbehaviour applied, and the device's own.
    SimUSB::ControlAnswer answer(const SimUSB::SetupPacket& setup, std::span<const uint8_t> data);
    SimUSB::ControlAnswer respond(const SimUSB::SetupPacket& setup, std::span<const uint8_t> data);
    SimUSB::ControlAnswer standardRequest(const SimUSB::SetupPacket& setup);
    SimUSB::ControlAnswer classRequest(const SimUSB::SetupPacket& setup, std::span<const uint8_t> data);
    SimUSB::ControlAnswer vendorRequest(const SimUSB::SetupPacket& setup);
    bool recipientIsRight(uint8_t bmRequestType) const;
    void queueStatus(std::vector<uint8_t> message);
    const RecordFault* recordFault(uint64_t microframe) const;
    uint32_t framesIn(uint64_t microframe) const;
    void checkFamily(uint8_t interface);
    void logError(std::string text);
    // Channels that loopback carries: those both streams have at their current alternates.
    uint32_t loopbackWidth() const;
    // Writes `frames` sample frames from `at` on.
    void fillRecordFrames(uint8_t* at, const Stream& stream, uint32_t frames);

    DescriptorOptions fOptions;
    DescriptorSet fDescriptors;
    // Per interface (1 playback, 2 record) and alternate 1 to 3.
    std::array<std::array<Stream, 4>, 3> fStreams{};

    // Taken by the bus's real-time thread and by tests and hosts on ordinary ones.
    mutable DarwinRealTime::InheritingMutex fLock;
    uint8_t fAddress = 0;
    uint8_t fConfiguration = 0;
    std::array<uint8_t, 3> fAlternates{};
    uint32_t fRate = 48000;
    uint8_t fPin = 1;
    uint8_t fHeaderVersion = 1;
    bool fHeaderMode = false;
    int32_t fDriftPpm = 0;
    uint32_t fFrameCounter = 0;
    uint64_t fSampleFrame = 0;
    bool fLoopback = false;
    std::deque<int32_t> fLoopbackFifo;
    size_t fFlipped = 0;
    std::vector<Rule> fRules;
    const RequestHook fRequestHook;
    std::vector<RecordFault> fRecordFaults;
    std::deque<std::vector<uint8_t>> fStatusQueue;
    size_t fStatusOverflows = 0;

    Ring<ControlRecord> fControlLog{1024};
    Ring<std::pair<uint8_t, uint8_t>> fInterfaceLog{1024};
    Ring<std::pair<uint64_t, uint32_t>> fRecordFrames{kLogMicroframes};
    Ring<PlaybackRecord> fPlaybackBytes{kLogMicroframes};
    Ring<int32_t> fPlayed{1u << 20};
    Ring<std::vector<uint8_t>> fStatusLog{1024};
    Ring<std::string> fErrors{256};
};

} // namespace KorvanInterface
