#include "FakeKernelUserClient.h"

#include "Log.h"

#include <IOKit/platform/UserClient.h>
#include <IOKitTesting/Services.h>
#include <mach/mach.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace KorvanDeviceIO;

namespace PlugInTesting {

namespace {

constexpr const char* kControlInterfaceClass = "com_vork_driver_tide_control_interface";
constexpr uint32_t kLastSelector = kSetStreamingHeadersEnable;
constexpr size_t kMaxChannelNames = kMaxDMAChannels;

// A request ring the fake shares with its clients, mapped here as well.
class Ring
{
public:
    Ring()
    {
        fFd = memfd_create("KorvanRequestRing", MFD_CLOEXEC);
        if (fFd >= 0 && ftruncate(fFd, off_t(kRequestRingSizeBytes)) == 0) {
            void* mapping = mmap(nullptr, kRequestRingSizeBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fFd, 0);
            fBytes = mapping == MAP_FAILED ? nullptr : static_cast<uint8_t*>(mapping);
        }
    }

    ~Ring()
    {
        if (fBytes != nullptr) {
            munmap(fBytes, kRequestRingSizeBytes);
        }
        if (fFd >= 0) {
            close(fFd);
        }
    }

    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    int fd() const { return fFd; }
    uint8_t* bytes() const { return fBytes; }

    // The process's mappings of the ring's memory, the fake's own included.
    int mappings() const
    {
        struct stat status = {};
        if (fFd < 0 || fstat(fFd, &status) != 0) {
            return 0;
        }
        std::ifstream maps("/proc/self/maps");
        const std::string inode = " " + std::to_string(status.st_ino) + " ";
        int count = 0;
        for (std::string line; std::getline(maps, line);) {
            if (line.find(inode) != std::string::npos &&
                line.find("memfd:KorvanRequestRing") != std::string::npos) {
                ++count;
            }
        }
        return count;
    }

private:
    int fFd = -1;
    uint8_t* fBytes = nullptr;
};

const MethodSizes& SizesOf(uint32_t selector)
{
    return kKernelMethods[selector];
}

template <typename T>
T Read(const void* input)
{
    T value;
    std::memcpy(&value, input, sizeof(value));
    return value;
}

template <typename T>
void Write(void* output, const T& value)
{
    std::memcpy(output, &value, sizeof(value));
}

} // namespace

struct FakeKernelService::State
{
    mutable std::mutex fMutex;
    bool fTerminated = false;
    bool fDeviceAttached = true;
    bool fZeroLengthMemory = false;
    bool fCurGetsFail = false;
    std::optional<uint8_t> fHeaderVersion;
    std::array<Mapping, 2> fMappings{Mapping::Whole, Mapping::Whole};
    std::array<int, 2> fMapCounts{0, 0};
    DeviceInfoRequest fIdentity = {};
    std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> fCurValues;
    std::map<std::array<uint16_t, 3>, std::vector<uint8_t>> fVendorValues;
    uint32_t fStartResult = 0;
    uint32_t fRunState = 0;
    std::vector<USBAudioRunStateRequest> fRunStarts;
    int fRunStops = 0;
    std::vector<uint8_t> fDescriptors;
    std::vector<std::string> fInputNames;
    std::vector<std::string> fOutputNames;
    std::vector<MethodCall> fCalls;
    std::vector<ControlRequest> fControlRequests;
    std::map<uint32_t, int> fOpenCounts;
    std::vector<std::weak_ptr<Connection>> fConnections;
    std::array<std::unique_ptr<Ring>, 2> fRings;
    std::optional<StreamFormat> fStreamFormat;
    // Written by the stream's thread, which never takes fMutex.
    std::mutex fCaptureMutex;
    std::vector<uint8_t> fCapturedOutput;
    // Shared with a test that steps it, outside the mutex.
    std::shared_ptr<ScriptedStream> fStream;
    ChaseContract fContract;

    // What the driver extension found so far, over every stream.
    ChaseContract ContractLocked() const
    {
        ChaseContract contract = fContract;
        if (fStream) {
            const ChaseContract current = fStream->Contract();
            contract.fBlocksChecked += current.fBlocksChecked;
            contract.fForeignWrites += current.fForeignWrites;
            contract.fMissingLengths += current.fMissingLengths;
        }
        return contract;
    }

    void EndStreamLocked()
    {
        fContract = ContractLocked();
        if (fStream) {
            fStream->End();
        }
        fStream.reset();
    }

    void StartStreamLocked(const USBAudioRunStateRequest& request)
    {
        if (!fStreamFormat) {
            return;
        }
        StreamFormat format = *fStreamFormat;
        format.fInputChannels =
            format.fBytesPerSample == 0 ? 0 : request.fInBytesPerFrame / format.fBytesPerSample;
        format.fOutputBytesPerFrame = request.fOutBytesPerFrame;
        fStream = std::make_shared<ScriptedStream>(
            reinterpret_cast<USBRequestBlock*>(RingLocked(kInputRingMemoryType).bytes()),
            reinterpret_cast<USBRequestBlock*>(RingLocked(kOutputRingMemoryType).bytes()), format,
            [this](const uint8_t* bytes, std::size_t size) {
                std::lock_guard<std::mutex> lock(fCaptureMutex);
                fCapturedOutput.insert(fCapturedOutput.end(), bytes, bytes + size);
            });
    }

    Ring& RingLocked(uint32_t memoryType)
    {
        std::unique_ptr<Ring>& ring = fRings[memoryType - kInputRingMemoryType];
        if (!ring) {
            ring = std::make_unique<Ring>();
        }
        return *ring;
    }
};

namespace {

std::shared_ptr<ScriptedStream> CurrentStream(FakeKernelService::State& state)
{
    std::lock_guard<std::mutex> lock(state.fMutex);
    return state.fStream;
}

} // namespace

class FakeKernelService::Connection : public IOKitPlatform::UserClientConnection
{
public:
    Connection(std::shared_ptr<State> state, uint32_t type) : fState(std::move(state)), fType(type) {}

    IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                              size_t* outputSize) override
    {
        const size_t capacity = outputSize != nullptr ? *outputSize : 0;
        std::lock_guard<std::mutex> lock(fState->fMutex);
        const auto* bytes = static_cast<const uint8_t*>(input);
        fState->fCalls.push_back(
            {fType, selector,
             bytes != nullptr ? std::vector<uint8_t>(bytes, bytes + inputSize) : std::vector<uint8_t>{},
             capacity});
        if (selector > kLastSelector) {
            return kIOReturnUnsupported;
        }
        const MethodSizes& sizes = SizesOf(selector);
        if (inputSize != sizes.fInputBytes || capacity != sizes.fOutputBytes ||
            (sizes.fInputBytes != 0 && input == nullptr) || (sizes.fOutputBytes != 0 && output == nullptr)) {
            return kIOReturnBadArgument;
        }
        if (selector == kGetStreamingHeadersSupportedVersion || selector == kSetStreamingHeadersEnable) {
            if (!fState->fHeaderVersion) {
                return kIOReturnUnsupported;
            }
            if (selector == kGetStreamingHeadersSupportedVersion) {
                Write(output, StreamingHeadersResponse{0, *fState->fHeaderVersion, {}});
            }
            return kIOReturnSuccess;
        }
        if (!fState->fDeviceAttached) {
            return WithStatus(selector, output, kIOReturnError);
        }
        return Serve(selector, input, output);
    }

    IOReturn sharedMemory(uint32_t memoryType, IOKitPlatform::SharedMemory* memory) override
    {
        if (memoryType != kInputRingMemoryType && memoryType != kOutputRingMemoryType) {
            return kIOReturnBadArgument;
        }
        std::lock_guard<std::mutex> lock(fState->fMutex);
        if (!fState->fDeviceAttached) {
            return kIOReturnNotAttached;
        }
        const Ring& ring = fState->RingLocked(memoryType);
        const Mapping mapping = fState->fMappings[memoryType - kInputRingMemoryType];
        if (ring.fd() < 0 || mapping == Mapping::Fails) {
            return kIOReturnNoMemory;
        }
        memory->fd = ring.fd();
        memory->length = fState->fZeroLengthMemory ? 0 : kRequestRingSizeBytes;
        if (mapping == Mapping::Short) {
            memory->length = kRequestRingSizeBytes / 2;
        }
        return kIOReturnSuccess;
    }

    IOReturn registerNotificationPort(mach_port_t port, uint32_t, uintptr_t reference) override
    {
        std::lock_guard<std::mutex> lock(fState->fMutex);
        fPort = port;
        fReference = uint32_t(reference);
        return kIOReturnSuccess;
    }

    void close() override
    {
        std::lock_guard<std::mutex> lock(fState->fMutex);
        if (!fClosed) {
            fClosed = true;
            --fState->fOpenCounts[fType];
        }
    }

    // The port to send to, and the reference; port 0 when none is registered. Under the state's
    // mutex.
    std::pair<mach_port_t, uint32_t> PortLocked() const
    {
        return fClosed ? std::pair<mach_port_t, uint32_t>{0, 0} : std::pair{fPort, fReference};
    }

private:
    // A failure that also has a status field to carry it.
    static IOReturn WithStatus(uint32_t selector, void* output, IOReturn result)
    {
        if (selector == kSetProperty || selector == kSetUSBAudioRunState) {
            Write(output, ErrorResult{uint32_t(result)});
        } else if (selector == kGetProperty) {
            Write(output, GetPropertyResult{uint32_t(result), 0});
        }
        return result;
    }

    IOReturn Serve(uint32_t selector, const void* input, void* output)
    {
        switch (selector) {
        case kGetDeviceInfo:
            Write(output, fState->fIdentity);
            return kIOReturnSuccess;
        case kSetProperty:
            return WithStatus(selector, output, kIOReturnBadArgument);
        case kGetProperty:
            Write(output, GetPropertyResult{0, PropertyValue(Read<GetPropertyRequest>(input).fProperty)});
            return kIOReturnSuccess;
        case kSendUACControlRequest:
            return SendUAC(Read<USBUACControlRequest>(input), output);
        case kSendVendorControlRequest:
            return SendVendor(Read<USBVendorControlRequest>(input), output);
        case kSetUSBAudioRunState:
            return SetRunState(Read<USBAudioRunStateRequest>(input), output);
        case kGetUSBConfig1Descriptors:
            return GetDescriptors(output);
        default:
            return GetNames(output);
        }
    }

    IOReturn SendUAC(const USBUACControlRequest& request, void* output)
    {
        if (request.fLength > kControlDataBytes) {
            return kIOReturnBadArgument;
        }
        USBControlResponse response = {};
        const auto key = std::pair{request.fEntityID, request.fControlSelector};
        const uint16_t value = uint16_t(request.fControlSelector << 8);
        const uint16_t index = uint16_t(request.fEntityID << 8);
        if (IsSetRequest(request)) {
            fState->fCurValues[key].assign(request.fData, request.fData + request.fLength);
            fState->fControlRequests.push_back({UACRequestType(request),
                                                kUACRequestCur,
                                                value,
                                                index,
                                                {request.fData, request.fData + request.fLength}});
            response.fLength = request.fLength;
        } else if (fState->fCurGetsFail) {
            fState->fControlRequests.push_back({UACRequestType(request), kUACRequestCur, value, index, {}});
            return kIOReturnError;
        } else {
            const std::vector<uint8_t>& current = fState->fCurValues[key];
            response.fLength = uint8_t(std::min<size_t>(current.size(), request.fLength));
            std::copy_n(current.begin(), response.fLength, response.fData);
            fState->fControlRequests.push_back({UACRequestType(request), kUACRequestCur, value, index, {}});
        }
        Write(output, response);
        return kIOReturnSuccess;
    }

    IOReturn SendVendor(const USBVendorControlRequest& request, void* output)
    {
        if (request.fType >= kVendorRequestTypeCount || request.fLength > kControlDataBytes) {
            return kIOReturnBadArgument;
        }
        const uint8_t requestType = kVendorRequestTypes[request.fType];
        const bool toDevice = (request.fType % 2) == 0;
        const std::array<uint16_t, 3> key = {uint16_t(request.fRequest & 0xFF), uint16_t(request.fValue),
                                             uint16_t(request.fIndex)};
        USBControlResponse response = {};
        if (toDevice) {
            fState->fVendorValues[key].assign(request.fData, request.fData + request.fLength);
            fState->fControlRequests.push_back({requestType,
                                                uint8_t(key[0]),
                                                key[1],
                                                key[2],
                                                {request.fData, request.fData + request.fLength}});
            response.fLength = uint8_t(request.fLength);
        } else {
            const std::vector<uint8_t>& stored = fState->fVendorValues[key];
            response.fLength = uint8_t(std::min<size_t>(stored.size(), request.fLength));
            std::copy_n(stored.begin(), response.fLength, response.fData);
            fState->fControlRequests.push_back({requestType, uint8_t(key[0]), key[1], key[2], {}});
        }
        Write(output, response);
        return kIOReturnSuccess;
    }

    IOReturn SetRunState(const USBAudioRunStateRequest& request, void* output)
    {
        if (fType != kAudioClientType) {
            return WithStatus(kSetUSBAudioRunState, output, kIOReturnError);
        }
        ErrorResult status = {0};
        IOReturn result = kIOReturnSuccess;
        if ((request.fRunState != 0) != (fState->fRunState != 0)) {
            if (request.fRunState != 0) {
                fState->fRunStarts.push_back(request);
                status.fStatus = fState->fStartResult;
                if (status.fStatus == 0) {
                    fState->fRunState = request.fRunState;
                    fState->StartStreamLocked(request);
                } else {
                    result = kIOReturnError;
                }
            } else {
                fState->fRunState = 0;
                ++fState->fRunStops;
                fState->EndStreamLocked();
            }
        }
        Write(output, status);
        return result;
    }

    IOReturn GetDescriptors(void* output)
    {
        if (fState->fDescriptors.size() >= kDescriptorBytes) {
            return kIOReturnNoMemory;
        }
        USBDescriptors descriptors = {};
        descriptors.fLength = uint32_t(fState->fDescriptors.size());
        std::copy(fState->fDescriptors.begin(), fState->fDescriptors.end(), descriptors.fData);
        Write(output, descriptors);
        return kIOReturnSuccess;
    }

    IOReturn GetNames(void* output)
    {
        if (fState->fInputNames.size() > kMaxChannelNames || fState->fOutputNames.size() > kMaxChannelNames) {
            return kIOReturnError;
        }
        ChannelNamesResponse response = {};
        for (size_t index = 0; index < fState->fInputNames.size(); ++index) {
            WriteNameField(response.fInNames[index], fState->fInputNames[index]);
        }
        for (size_t index = 0; index < fState->fOutputNames.size(); ++index) {
            WriteNameField(response.fOutNames[index], fState->fOutputNames[index]);
        }
        Write(output, response);
        return kIOReturnSuccess;
    }

    std::shared_ptr<State> fState;
    const uint32_t fType;
    mach_port_t fPort = 0;
    uint32_t fReference = 0;
    bool fClosed = false;
};

namespace {

class Provider : public IOKitPlatform::UserClientProvider
{
public:
    explicit Provider(std::shared_ptr<FakeKernelService::State> state) : fState(std::move(state)) {}

    IOReturn open(uint32_t type, std::shared_ptr<IOKitPlatform::UserClientConnection>* connection) override
    {
        std::lock_guard<std::mutex> lock(fState->fMutex);
        if ((type != kAudioClientType && type != kTestClientType) || fState->fOpenCounts[type] > 0 ||
            fState->fTerminated) {
            return kIOReturnUnsupported;
        }
        auto opened = std::make_shared<FakeKernelService::Connection>(fState, type);
        fState->fConnections.push_back(opened);
        ++fState->fOpenCounts[type];
        *connection = opened;
        return kIOReturnSuccess;
    }

private:
    std::shared_ptr<FakeKernelService::State> fState;
};

CFStringRef CreateString(const std::string& text)
{
    return CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
}

// Sends one message to each port, without waiting on a full queue: a notification that does not
// fit is lost, as a timed-out kernel send is.
void SendToPorts(const std::vector<mach_port_t>& ports, std::vector<uint8_t> message)
{
    for (mach_port_t port : ports) {
        auto* header = reinterpret_cast<mach_msg_header_t*>(message.data());
        header->msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0);
        header->msgh_size = mach_msg_size_t(message.size());
        header->msgh_remote_port = port;
        header->msgh_local_port = MACH_PORT_NULL;
        header->msgh_id = 0;
        mach_msg(header, MACH_SEND_MSG | MACH_SEND_TIMEOUT, mach_msg_size_t(message.size()), 0,
                 MACH_PORT_NULL, 0, MACH_PORT_NULL);
    }
}

} // namespace

FakeKernelService::FakeKernelService(std::string uid, UIDOrder order)
    : fUID(std::move(uid)), fOrder(order), fState(std::make_shared<State>())
{
    fEntry = IOKitPlatform::RegistryEntry::create(
        {kControlInterfaceClass, "com_vork_driver_tide_base_interface", "IOService"});
    fEntry->setUserClientProvider(std::make_shared<Provider>(fState));
    if (fOrder == UIDOrder::BeforePublish) {
        setUID();
    }
    std::strncpy(fState->fIdentity.fUID, fUID.c_str(), sizeof(fState->fIdentity.fUID) - 1);
    std::strncpy(fState->fIdentity.fProductName, "Tenor", sizeof(fState->fIdentity.fProductName) - 1);
}

FakeKernelService::~FakeKernelService()
{
    terminate();
}

void FakeKernelService::publish()
{
    fEntry->registerService();
}

void FakeKernelService::setUID()
{
    CFStringRef uid = CreateString(fUID);
    fEntry->setProperty(CFSTR("com_vork_driver_tide_device_UID"), uid);
    CFRelease(uid);
}

void FakeKernelService::terminate()
{
    {
        std::lock_guard<std::mutex> lock(fState->fMutex);
        fState->fTerminated = true;
    }
    fEntry->terminate();
}

io_service_t FakeKernelService::copyHandle() const
{
    return IOKitTesting::copyHandle(fEntry);
}

void FakeKernelService::setIdentity(const DeviceInfoRequest& identity)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fIdentity = identity;
}

ChaseContract FakeKernelService::chaseContract() const
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    return fState->ContractLocked();
}

std::vector<uint8_t> FakeKernelService::capturedOutput() const
{
    std::lock_guard<std::mutex> lock(fState->fCaptureMutex);
    return fState->fCapturedOutput;
}

void FakeKernelService::setStreaming(const StreamFormat& format)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fStreamFormat = format;
}

void FakeKernelService::advance(uint64_t packets)
{
    for (uint64_t packet = 0; packet < packets; ++packet) {
        std::shared_ptr<ScriptedStream> stream;
        DarwinTesting::ManualClock* clock = nullptr;
        {
            std::lock_guard<std::mutex> lock(fState->fMutex);
            stream = fState->fStream;
            clock = fState->fStreamFormat ? fState->fStreamFormat->fSteppedClock : nullptr;
        }
        if (stream) {
            stream->Advance(1);
        } else if (clock != nullptr) {
            clock->advance(std::chrono::nanoseconds(ScriptedStream::kMicroframeNs));
        }
    }
}

void FakeKernelService::completeRequest()
{
    if (const std::shared_ptr<ScriptedStream> stream = CurrentStream(*fState)) {
        stream->CompleteRequest();
    }
}

void FakeKernelService::stopWriting()
{
    if (const std::shared_ptr<ScriptedStream> stream = CurrentStream(*fState)) {
        stream->StopWriting();
    }
}

void FakeKernelService::waitForPacketsDue(uint64_t hostTime)
{
    if (const std::shared_ptr<ScriptedStream> stream = CurrentStream(*fState)) {
        stream->WaitForPacketsDue(hostTime);
    }
}

void FakeKernelService::outputWrittenThrough(uint64_t hostTime)
{
    if (const std::shared_ptr<ScriptedStream> stream = CurrentStream(*fState)) {
        stream->OutputWrittenThrough(hostTime);
    }
}

void FakeKernelService::setStreamingHeadersVersion(std::optional<uint8_t> version)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fHeaderVersion = version;
}

void FakeKernelService::setMapping(uint32_t memoryType, Mapping mapping)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fMappings[memoryType - kInputRingMemoryType] = mapping;
}

int FakeKernelService::clientMappings(uint32_t memoryType) const
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    const Ring& ring = fState->RingLocked(memoryType);
    return ring.mappings() - (ring.bytes() != nullptr ? 1 : 0);
}

void FakeKernelService::setCurGetsFail(bool fail)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fCurGetsFail = fail;
}

void FakeKernelService::setCurValue(uint8_t entity, uint8_t selector, std::vector<uint8_t> value)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fCurValues[{entity, selector}] = std::move(value);
}

void FakeKernelService::setVendorValue(uint8_t request, uint16_t value, uint16_t index,
                                       std::vector<uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fVendorValues[{request, value, index}] = std::move(bytes);
}

void FakeKernelService::setRunStateStartResult(uint32_t result)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fStartResult = result;
}

void FakeKernelService::setDescriptors(std::vector<uint8_t> descriptors)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fDescriptors = std::move(descriptors);
}

void FakeKernelService::setChannelNames(std::vector<std::string> inputs, std::vector<std::string> outputs)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fInputNames = std::move(inputs);
    fState->fOutputNames = std::move(outputs);
}

void FakeKernelService::setZeroLengthMemory(bool zeroLength)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fZeroLengthMemory = zeroLength;
}

void FakeKernelService::detachDevice()
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    fState->fDeviceAttached = false;
}

void FakeKernelService::NotifyUserClient(uint32_t type, const void* bytes, uint32_t length)
{
    std::vector<mach_port_t> ports;
    uint32_t reference = 0;
    bool driverExtension = false;
    {
        std::lock_guard<std::mutex> lock(fState->fMutex);
        driverExtension = fState->fStreamFormat && fState->fStreamFormat->fDriverExtension;
        for (const auto& weak : fState->fConnections) {
            if (const auto connection = weak.lock()) {
                const auto [port, portReference] = connection->PortLocked();
                if (port != 0) {
                    ports.push_back(port);
                    reference = portReference;
                }
            }
        }
    }
    if (ports.empty() || length > kMaxNotificationDataBytes) {
        TIDE_LOG(Log::Info, "KorvanUserClient::NotifyUserClient NOT SENT\n");
        return;
    }
    std::vector<uint8_t> message(sizeof(NotificationRecord), 0);
    auto* record = reinterpret_cast<NotificationRecord*>(message.data());
    // A driver extension's record holds zeros before its type; the message header is the transport's.
    record->fReference = driverExtension ? 0 : reference;
    record->fType = type;
    record->fLength = length;
    std::memcpy(record->fData, bytes, length);
    SendToPorts(ports, std::move(message));
}

void FakeKernelService::sendRaw(const void* bytes, size_t size)
{
    std::vector<mach_port_t> ports;
    {
        std::lock_guard<std::mutex> lock(fState->fMutex);
        for (const auto& weak : fState->fConnections) {
            if (const auto connection = weak.lock()) {
                if (const mach_port_t port = connection->PortLocked().first) {
                    ports.push_back(port);
                }
            }
        }
    }
    // mach_msg needs room for its header; the bytes after it are the test's.
    std::vector<uint8_t> message(std::max(size, sizeof(mach_msg_header_t)), 0);
    std::memcpy(message.data(), bytes, size);
    SendToPorts(ports, std::move(message));
}

std::vector<MethodCall> FakeKernelService::calls() const
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    return fState->fCalls;
}

std::vector<ControlRequest> FakeKernelService::controlRequests() const
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    return fState->fControlRequests;
}

uint32_t FakeKernelService::runState() const
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    return fState->fRunState;
}

std::vector<USBAudioRunStateRequest> FakeKernelService::runStarts() const
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    return fState->fRunStarts;
}

int FakeKernelService::runStops() const
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    return fState->fRunStops;
}

int FakeKernelService::openCount(uint32_t clientType) const
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    const auto found = fState->fOpenCounts.find(clientType);
    return found == fState->fOpenCounts.end() ? 0 : found->second;
}

uint8_t* FakeKernelService::ring(uint32_t memoryType)
{
    std::lock_guard<std::mutex> lock(fState->fMutex);
    return fState->RingLocked(memoryType).bytes();
}

} // namespace PlugInTesting
