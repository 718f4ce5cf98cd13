#pragma once

// A stand-in for the kernel extension's control-interface service and its user client, as the
// plug-in relies on them: the method table of selectors 0 to 9 with its exact sizes and codes, the
// two request rings as shared memory, and notification records sent to the client's mach port.
// Tests script what the device answers and read back every call.

#include "KorvanDeviceIO.h"
#include "ScriptedStream.h"

#include <IOKit/IOKitLib.h>
#include <IOKit/platform/Registry.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace PlugInTesting {

inline constexpr uint32_t kAudioClientType = 'IOIO';
inline constexpr uint32_t kTestClientType = 'TEST';

// One struct-method call as the fake received it.
struct MethodCall
{
    uint32_t fClientType;
    uint32_t fSelector;
    std::vector<uint8_t> fInput;
    size_t fOutputCapacity;
};

// A control request the fake's device received.
struct ControlRequest
{
    uint8_t fRequestType;
    uint8_t fRequest;
    uint16_t fValue;
    uint16_t fIndex;
    std::vector<uint8_t> fData;
};

class FakeKernelService
{
public:
    enum class UIDOrder
    {
        // The UID property is there when the service is published.
        BeforePublish,
        // As the kernel extension does: published first; setUID() later, or never.
        AfterPublish,
    };

    explicit FakeKernelService(std::string uid = "fake0001", UIDOrder order = UIDOrder::BeforePublish);
    ~FakeKernelService();
    FakeKernelService(const FakeKernelService&) = delete;
    FakeKernelService& operator=(const FakeKernelService&) = delete;

    void publish();
    void setUID();
    // Terminates the service: its connections close and later calls fail.
    void terminate();
    // The process's handle of the service, with a reference the caller releases.
    io_service_t copyHandle() const;
    const std::string& uid() const { return fUID; }

    // What the device answers.
    void setIdentity(const KorvanDeviceIO::DeviceInfoRequest& identity);
    void setCurValue(uint8_t entity, uint8_t selector, std::vector<uint8_t> value);
    // GET CUR requests (selector 3) fail with kIOReturnError.
    void setCurGetsFail(bool fail);
    void setVendorValue(uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> bytes);
    void setRunStateStartResult(uint32_t result);
    void setDescriptors(std::vector<uint8_t> descriptors);
    void setChannelNames(std::vector<std::string> inputs, std::vector<std::string> outputs);
    // The rings are handed out with length 0.
    void setZeroLengthMemory(bool zeroLength);
    // Selector 8's answer: unsupported, as the kernel extension gives (no value, the default), or a
    // header version 0 to 3, as the driver extension gives; selector 9 then succeeds.
    void setStreamingHeadersVersion(std::optional<uint8_t> version);
    // After each run request the driver streams on the real clock: the input stride, rate, sample
    // size and header mode are given here, the channels come from the run request.
    void setStreaming(const StreamFormat& format);
    // Stepped streams (StreamFormat::fSteppedClock): the running stream writes its next `packets`
    // microframes, moving the clock to the end of each; with none running the clock moves alone.
    // Call it from the test's thread; alarms and run loops the clock wakes are served before it
    // returns.
    void advance(uint64_t packets);
    // On to the end of the input request being written.
    void completeRequest();
    // The running stream writes nothing more.
    void stopWriting();
    // Returns once the running stream has written every packet due by `hostTime` (see
    // ScriptedStream::WaitForPacketsDue); at once with none running.
    void waitForPacketsDue(uint64_t hostTime);
    // The client's output is written up to `hostTime` (see ScriptedStream::OutputWrittenThrough).
    void outputWrittenThrough(uint64_t hostTime);
    // The output the plug-in wrote, request after request from the first, as far as captured.
    std::vector<uint8_t> capturedOutput() const;
    // In driver-extension mode: what the driver extension found of the plug-in's chase.
    ChaseContract chaseContract() const;
    enum class Mapping
    {
        Whole,
        Fails,
        // Shorter than a ring.
        Short,
    };
    void setMapping(uint32_t memoryType, Mapping mapping);
    // The mappings of a ring (1 or 2) the process holds beside the fake's own.
    int clientMappings(uint32_t memoryType) const;
    // The user client loses its USB provider: selectors 0 to 7 fail, the rings are not attached.
    void detachDevice();

    // The driver's NotifyUserClient: a record to each client that registered a port, when the
    // payload fits; else "NOT SENT" in the log.
    void NotifyUserClient(uint32_t type, const void* bytes, uint32_t length);
    // Any message, as it stands, to each registered port.
    void sendRaw(const void* bytes, size_t size);

    // What the fake saw.
    std::vector<MethodCall> calls() const;
    std::vector<ControlRequest> controlRequests() const;
    uint32_t runState() const;
    // The requests that started audio, in order.
    std::vector<KorvanDeviceIO::USBAudioRunStateRequest> runStarts() const;
    int runStops() const;
    int openCount(uint32_t clientType) const;
    // The fake's own mapping of a ring (1 or 2), where tests write block headers.
    uint8_t* ring(uint32_t memoryType);

    class Connection;
    struct State;

private:
    std::string fUID;
    UIDOrder fOrder;
    std::shared_ptr<IOKitPlatform::RegistryEntry> fEntry;
    std::shared_ptr<State> fState;
};

} // namespace PlugInTesting
