#pragma once

// What crosses the boundary between the audio-server plug-in and the two USB audio drivers: the
// user-client structures, the request-ring layout and the notification record. Both drivers and the
// plug-in compile this header, so it uses nothing beyond the C++ core headers; every size and offset
// below is pinned, because the other side reads these bytes as they stand.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace KorvanDeviceIO {

constexpr std::size_t kNameFieldBytes = 32;
constexpr std::size_t kControlDataBytes = 16;
constexpr std::size_t kMaxDMAChannels = 32;
constexpr std::size_t kDescriptorBytes = 2048;
// The driver extension appends this many reserved zero bytes to every result structure.
constexpr std::size_t kDextReservedBytes = 4096;

struct DeviceInfoRequest
{
    char fUID[kNameFieldBytes];
    char fProductName[kNameFieldBytes];
    uint32_t fDeviceRelease;
    uint32_t fReserved;
    uint32_t fProductID;
};

struct SetPropertyRequest
{
    uint32_t fProperty;
    uint32_t fValue;
};

struct GetPropertyRequest
{
    uint32_t fProperty;
};

struct ErrorResult
{
    uint32_t fStatus;
};

struct GetPropertyResult
{
    uint32_t fStatus;
    uint32_t fValue;
};

struct USBUACControlRequest
{
    uint8_t fSet;
    uint8_t fControlSelector;
    uint8_t fEntityID;
    uint8_t fLength;
    uint8_t fData[kControlDataBytes];
};

struct USBVendorControlRequest
{
    uint32_t fType;
    uint32_t fRequest;
    uint32_t fValue;
    uint32_t fIndex;
    uint32_t fLength;
    uint8_t fData[kControlDataBytes];
};

struct USBControlResponse
{
    uint8_t fLength;
    uint8_t fData[kControlDataBytes];
};

struct USBAudioRunStateRequest
{
    uint32_t fRunState;
    uint32_t fInInterfaceNum;
    uint32_t fInAlt;
    uint32_t fInBytesPerFrame;
    uint32_t fOutInterfaceNum;
    uint32_t fOutAlt;
    uint32_t fOutBytesPerFrame;
};

struct USBDescriptors
{
    uint32_t fLength;
    uint8_t fData[kDescriptorBytes];
};

struct ChannelNamesRequest
{
    uint8_t fInInterfaceNum;
    uint8_t fInAlt;
    uint8_t fOutInterfaceNum;
    uint8_t fOutAlt;
};

struct ChannelNamesResponse
{
    uint32_t fReserved;
    char fInNames[kMaxDMAChannels][kNameFieldBytes];
    char fOutNames[kMaxDMAChannels][kNameFieldBytes];
};

struct StreamingHeadersResponse
{
    uint32_t fStatus;
    uint8_t fVersion;
    uint8_t fPadding[3];
};

struct EnableStreamingHeadersRequest
{
    uint8_t fVersion;
    uint8_t fEnable;
};

// The driver extension's form of a result structure: the same fields, then reserved zero bytes.
template <class Result>
struct DextForm : Result
{
    uint8_t fDextReserved[kDextReservedBytes];
};

namespace Dext {
using DeviceInfoRequest = DextForm<KorvanDeviceIO::DeviceInfoRequest>;
using ErrorResult = DextForm<KorvanDeviceIO::ErrorResult>;
using GetPropertyResult = DextForm<KorvanDeviceIO::GetPropertyResult>;
using USBControlResponse = DextForm<KorvanDeviceIO::USBControlResponse>;
using USBDescriptors = DextForm<KorvanDeviceIO::USBDescriptors>;
using ChannelNamesResponse = DextForm<KorvanDeviceIO::ChannelNamesResponse>;
using StreamingHeadersResponse = DextForm<KorvanDeviceIO::StreamingHeadersResponse>;
} // namespace Dext

// The first 4168 bytes of the driver extension's 4172-byte device information, as older clients
// ask for it.
struct DeviceInfoRequest_Obsolete : DeviceInfoRequest
{
    uint8_t fDextReserved[kDextReservedBytes - 4];
};

// A name field is read as at most its own size: a driver may fill all 32 bytes without a NUL.
inline std::string_view NameFieldText(const char (&field)[kNameFieldBytes])
{
    const void* nul = std::memchr(field, 0, kNameFieldBytes);
    return {field, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : kNameFieldBytes};
}

// Zero-fills the field and keeps at most 31 characters, so the entry always ends in a NUL.
inline void WriteNameField(char (&field)[kNameFieldBytes], std::string_view text)
{
    std::memset(field, 0, kNameFieldBytes);
    std::memcpy(field, text.data(), text.size() < kNameFieldBytes ? text.size() : kNameFieldBytes - 1);
}

// Properties: only the build number has a value of its own; none is settable.
constexpr uint32_t kPropertyBuildNumber = 1;
constexpr uint32_t kDriverBuildNumber = 95375;
constexpr uint32_t kDefaultPropertyValue = 0x2000000;

constexpr uint32_t PropertyValue(uint32_t property)
{
    return property == kPropertyBuildNumber ? kDriverBuildNumber : kDefaultPropertyValue;
}

// UAC2 CUR requests on the audio-control interface. Any non-zero fSet is a SET.
constexpr uint8_t kUACRequestCur = 1;
constexpr uint8_t kUACGetRequestType = 0xA1;
constexpr uint8_t kUACSetRequestType = 0x21;
constexpr uint32_t kUACControlTimeoutMs = 500;

constexpr bool IsSetRequest(const USBUACControlRequest& request)
{
    return request.fSet != 0;
}

constexpr uint8_t UACRequestType(const USBUACControlRequest& request)
{
    return IsSetRequest(request) ? kUACSetRequestType : kUACGetRequestType;
}

// bmRequestType of a vendor request, indexed by its fType; a larger fType is refused.
constexpr uint8_t kVendorRequestTypes[] = {0x40, 0xC0, 0x41, 0xC1, 0x21, 0xA1};
constexpr uint32_t kVendorRequestTypeCount = sizeof(kVendorRequestTypes);

// The user-client methods in the numbering the plug-in calls (the kernel extension's).
enum Selector : uint32_t
{
    kGetDeviceInfo = 0,
    kSetProperty = 1,
    kGetProperty = 2,
    kSendUACControlRequest = 3,
    kSendVendorControlRequest = 4,
    kSetUSBAudioRunState = 5,
    kGetUSBConfig1Descriptors = 6,
    kGetChannelNames = 7,
    kGetStreamingHeadersSupportedVersion = 8,
    kSetStreamingHeadersEnable = 9,
};

struct MethodSizes
{
    Selector fSelector;
    std::size_t fInputBytes;
    std::size_t fOutputBytes;
};

constexpr MethodSizes kKernelMethods[] = {
    {kGetDeviceInfo, sizeof(DeviceInfoRequest), sizeof(DeviceInfoRequest)},
    {kSetProperty, sizeof(SetPropertyRequest), sizeof(ErrorResult)},
    {kGetProperty, sizeof(GetPropertyRequest), sizeof(GetPropertyResult)},
    {kSendUACControlRequest, sizeof(USBUACControlRequest), sizeof(USBControlResponse)},
    {kSendVendorControlRequest, sizeof(USBVendorControlRequest), sizeof(USBControlResponse)},
    {kSetUSBAudioRunState, sizeof(USBAudioRunStateRequest), sizeof(ErrorResult)},
    {kGetUSBConfig1Descriptors, sizeof(USBDescriptors), sizeof(USBDescriptors)},
    {kGetChannelNames, sizeof(ChannelNamesRequest), sizeof(ChannelNamesResponse)},
    {kGetStreamingHeadersSupportedVersion, 0, sizeof(StreamingHeadersResponse)},
    {kSetStreamingHeadersEnable, sizeof(EnableStreamingHeadersRequest), 0},
};

// Mapped memory types of the two request rings.
constexpr uint32_t kInputRingMemoryType = 1;
constexpr uint32_t kOutputRingMemoryType = 2;

// Request rings: 20 blocks of one 160-microframe isochronous request each, 400 ms in all.
constexpr std::size_t kRequestBlockCount = 20;
constexpr std::size_t kPacketsPerBlock = 160;
constexpr std::size_t kPacketsPerRing = kRequestBlockCount * kPacketsPerBlock;
constexpr std::size_t kRequestDataSizeBytes = 574240;
constexpr uint64_t kIsocRingBufferDuration = 400000000;
constexpr std::size_t kIsocPacketHeaderBytes = 5;
// Whoever consumes a packet without streaming headers refills it with this byte.
constexpr uint8_t kStalePacketByte = 0xAA;
constexpr std::size_t kStalePatternBytes = 8;

enum class Driver : uint8_t
{
    CoreAudio = 0,
    Dext = 1,
};

struct __attribute__((packed)) IsocPacketHeader
{
    uint32_t totalNumSampleFramesSent;
    uint8_t numSampleFramesThisPacket;
};

// Progress of one side through a block. Only the side that owns it writes it.
struct ChaseRecord
{
    uint64_t fChaseHostTime;
    uint64_t fChaseMicroframe;
    IsocPacketHeader fPacketHeaders[kPacketsPerBlock];
    uint32_t fPacketLengths[kPacketsPerBlock];
    uint8_t fDropped[kPacketsPerBlock];
};

struct USBRequestBlock
{
    uint64_t fHostTime;
    uint64_t fMicroframe;
    uint64_t fStartByteCount;
    uint64_t fEndByteCount;
    ChaseRecord fChase[2];
    uint8_t fBuffer[kRequestDataSizeBytes];
};

constexpr std::size_t kRequestBlockSizeBytes = sizeof(USBRequestBlock);
constexpr std::size_t kRequestRingSizeBytes = kRequestBlockCount * kRequestBlockSizeBytes;
// Packets sit at a stride of the input max packet size; 160 of them must fit in one block.
constexpr std::size_t kMaxPacketStrideBytes = kRequestDataSizeBytes / kPacketsPerBlock;

constexpr std::size_t RequestBlockOffset(std::size_t block)
{
    return block * kRequestBlockSizeBytes;
}

// A notification as the plug-in receives it. The kernel extension's message header fills the
// first 24 bytes; the driver extension leaves them zero.
constexpr std::size_t kNotificationMessageHeaderBytes = 24;
constexpr std::size_t kMaxNotificationDataBytes = 4096;

enum NotificationType : uint32_t
{
    kNotificationInterruptStatus = 0,
    kNotificationEngineError = 1,
};

struct NotificationRecord
{
    uint8_t fMessageHeader[kNotificationMessageHeaderBytes];
    uint32_t fReference;
    uint32_t fType;
    uint32_t fLength;
    uint8_t fData[kMaxNotificationDataBytes];
};

static_assert(sizeof(DeviceInfoRequest) == 76);
static_assert(offsetof(DeviceInfoRequest, fProductName) == 32);
static_assert(offsetof(DeviceInfoRequest, fDeviceRelease) == 64);
static_assert(offsetof(DeviceInfoRequest, fReserved) == 68);
static_assert(offsetof(DeviceInfoRequest, fProductID) == 72);
static_assert(sizeof(Dext::DeviceInfoRequest) == 4172);
static_assert(sizeof(DeviceInfoRequest_Obsolete) == 4168);
static_assert(sizeof(SetPropertyRequest) == 8 && offsetof(SetPropertyRequest, fValue) == 4);
static_assert(sizeof(GetPropertyRequest) == 4);
static_assert(sizeof(ErrorResult) == 4 && sizeof(Dext::ErrorResult) == 4100);
static_assert(sizeof(GetPropertyResult) == 8 && sizeof(Dext::GetPropertyResult) == 4104);
static_assert(offsetof(GetPropertyResult, fValue) == 4);
static_assert(sizeof(USBUACControlRequest) == 20);
static_assert(offsetof(USBUACControlRequest, fControlSelector) == 1);
static_assert(offsetof(USBUACControlRequest, fEntityID) == 2);
static_assert(offsetof(USBUACControlRequest, fLength) == 3);
static_assert(offsetof(USBUACControlRequest, fData) == 4);
static_assert(sizeof(USBVendorControlRequest) == 36);
static_assert(offsetof(USBVendorControlRequest, fRequest) == 4);
static_assert(offsetof(USBVendorControlRequest, fValue) == 8);
static_assert(offsetof(USBVendorControlRequest, fIndex) == 12);
static_assert(offsetof(USBVendorControlRequest, fLength) == 16);
static_assert(offsetof(USBVendorControlRequest, fData) == 20);
static_assert(sizeof(USBControlResponse) == 17 && sizeof(Dext::USBControlResponse) == 4113);
static_assert(offsetof(USBControlResponse, fData) == 1);
static_assert(sizeof(USBAudioRunStateRequest) == 28);
static_assert(offsetof(USBAudioRunStateRequest, fInInterfaceNum) == 4);
static_assert(offsetof(USBAudioRunStateRequest, fInAlt) == 8);
static_assert(offsetof(USBAudioRunStateRequest, fInBytesPerFrame) == 12);
static_assert(offsetof(USBAudioRunStateRequest, fOutInterfaceNum) == 16);
static_assert(offsetof(USBAudioRunStateRequest, fOutAlt) == 20);
static_assert(offsetof(USBAudioRunStateRequest, fOutBytesPerFrame) == 24);
static_assert(sizeof(USBDescriptors) == 2052 && sizeof(Dext::USBDescriptors) == 6148);
static_assert(offsetof(USBDescriptors, fData) == 4);
static_assert(sizeof(ChannelNamesRequest) == 4);
static_assert(offsetof(ChannelNamesRequest, fInAlt) == 1);
static_assert(offsetof(ChannelNamesRequest, fOutInterfaceNum) == 2);
static_assert(offsetof(ChannelNamesRequest, fOutAlt) == 3);
static_assert(sizeof(ChannelNamesResponse) == 2052 && sizeof(Dext::ChannelNamesResponse) == 6148);
static_assert(offsetof(ChannelNamesResponse, fInNames) == 4);
static_assert(offsetof(ChannelNamesResponse, fOutNames) == 1028);
static_assert(sizeof(StreamingHeadersResponse) == 8 && sizeof(Dext::StreamingHeadersResponse) == 4104);
static_assert(offsetof(StreamingHeadersResponse, fVersion) == 4);
static_assert(sizeof(EnableStreamingHeadersRequest) == 2);
static_assert(offsetof(EnableStreamingHeadersRequest, fEnable) == 1);
static_assert(sizeof(IsocPacketHeader) == kIsocPacketHeaderBytes);
static_assert(offsetof(IsocPacketHeader, numSampleFramesThisPacket) == 4);
static_assert(sizeof(ChaseRecord) == 1616);
static_assert(offsetof(ChaseRecord, fChaseMicroframe) == 8);
static_assert(offsetof(ChaseRecord, fPacketHeaders) == 16);
static_assert(offsetof(ChaseRecord, fPacketLengths) == 816);
static_assert(offsetof(ChaseRecord, fDropped) == 1456);
static_assert(kRequestBlockSizeBytes == 577504);
static_assert(offsetof(USBRequestBlock, fMicroframe) == 8);
static_assert(offsetof(USBRequestBlock, fStartByteCount) == 16);
static_assert(offsetof(USBRequestBlock, fEndByteCount) == 24);
static_assert(offsetof(USBRequestBlock, fChase) == 32);
static_assert(offsetof(USBRequestBlock, fChase) + sizeof(ChaseRecord) == 1648);
static_assert(offsetof(USBRequestBlock, fBuffer) == 3264);
static_assert(kRequestRingSizeBytes == 11550080);
static_assert(RequestBlockOffset(19) == 10972576);
// Every block, and so every 64-bit field of its header and chase records, stays 8-byte aligned.
static_assert(alignof(USBRequestBlock) == 8 && kRequestBlockSizeBytes % 8 == 0);
static_assert(sizeof(NotificationRecord) == 4132);
static_assert(offsetof(NotificationRecord, fReference) == 24);
static_assert(offsetof(NotificationRecord, fType) == 28);
static_assert(offsetof(NotificationRecord, fLength) == 32);
static_assert(offsetof(NotificationRecord, fData) == 36);

} // namespace KorvanDeviceIO
