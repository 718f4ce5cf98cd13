#include "KorvanDeviceIO.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace KorvanDeviceIO;

namespace {

struct Field
{
    const char* fName;
    std::size_t fOffset;
    std::size_t fExpected;
};

struct Layout
{
    const char* fName;
    std::size_t fKernelSize;
    std::size_t fExpectedKernelSize;
    std::size_t fDextSize;
    std::size_t fExpectedDextSize;
    std::vector<Field> fFields;
};

#define FIELD(type, field, expected)                                                                         \
    Field                                                                                                    \
    {                                                                                                        \
#field, offsetof(type, field), expected                                                              \
    }

const std::vector<Layout> kLayouts = {
    {"DeviceInfoRequest",
     sizeof(DeviceInfoRequest),
     76,
     sizeof(Dext::DeviceInfoRequest),
     4172,
     {FIELD(DeviceInfoRequest, fUID, 0), FIELD(DeviceInfoRequest, fProductName, 32),
      FIELD(DeviceInfoRequest, fDeviceRelease, 64), FIELD(DeviceInfoRequest, fReserved, 68),
      FIELD(DeviceInfoRequest, fProductID, 72)}},
    {"DeviceInfoRequest_Obsolete", sizeof(DeviceInfoRequest_Obsolete), 4168, 0, 0, {}},
    {"SetPropertyRequest",
     sizeof(SetPropertyRequest),
     8,
     0,
     0,
     {FIELD(SetPropertyRequest, fProperty, 0), FIELD(SetPropertyRequest, fValue, 4)}},
    {"GetPropertyRequest", sizeof(GetPropertyRequest), 4, 0, 0, {FIELD(GetPropertyRequest, fProperty, 0)}},
    {"ErrorResult",
     sizeof(ErrorResult),
     4,
     sizeof(Dext::ErrorResult),
     4100,
     {FIELD(ErrorResult, fStatus, 0)}},
    {"GetPropertyResult",
     sizeof(GetPropertyResult),
     8,
     sizeof(Dext::GetPropertyResult),
     4104,
     {FIELD(GetPropertyResult, fStatus, 0), FIELD(GetPropertyResult, fValue, 4)}},
    {"USBUACControlRequest",
     sizeof(USBUACControlRequest),
     20,
     0,
     0,
     {FIELD(USBUACControlRequest, fSet, 0), FIELD(USBUACControlRequest, fControlSelector, 1),
      FIELD(USBUACControlRequest, fEntityID, 2), FIELD(USBUACControlRequest, fLength, 3),
      FIELD(USBUACControlRequest, fData, 4)}},
    {"USBVendorControlRequest",
     sizeof(USBVendorControlRequest),
     36,
     0,
     0,
     {FIELD(USBVendorControlRequest, fType, 0), FIELD(USBVendorControlRequest, fRequest, 4),
      FIELD(USBVendorControlRequest, fValue, 8), FIELD(USBVendorControlRequest, fIndex, 12),
      FIELD(USBVendorControlRequest, fLength, 16), FIELD(USBVendorControlRequest, fData, 20)}},
    {"USBControlResponse",
     sizeof(USBControlResponse),
     17,
     sizeof(Dext::USBControlResponse),
     4113,
     {FIELD(USBControlResponse, fLength, 0), FIELD(USBControlResponse, fData, 1)}},
    {"USBAudioRunStateRequest",
     sizeof(USBAudioRunStateRequest),
     28,
     0,
     0,
     {FIELD(USBAudioRunStateRequest, fRunState, 0), FIELD(USBAudioRunStateRequest, fInInterfaceNum, 4),
      FIELD(USBAudioRunStateRequest, fInAlt, 8), FIELD(USBAudioRunStateRequest, fInBytesPerFrame, 12),
      FIELD(USBAudioRunStateRequest, fOutInterfaceNum, 16), FIELD(USBAudioRunStateRequest, fOutAlt, 20),
      FIELD(USBAudioRunStateRequest, fOutBytesPerFrame, 24)}},
    {"USBDescriptors",
     sizeof(USBDescriptors),
     2052,
     sizeof(Dext::USBDescriptors),
     6148,
     {FIELD(USBDescriptors, fLength, 0), FIELD(USBDescriptors, fData, 4)}},
    {"ChannelNamesRequest",
     sizeof(ChannelNamesRequest),
     4,
     0,
     0,
     {FIELD(ChannelNamesRequest, fInInterfaceNum, 0), FIELD(ChannelNamesRequest, fInAlt, 1),
      FIELD(ChannelNamesRequest, fOutInterfaceNum, 2), FIELD(ChannelNamesRequest, fOutAlt, 3)}},
    {"ChannelNamesResponse",
     sizeof(ChannelNamesResponse),
     2052,
     sizeof(Dext::ChannelNamesResponse),
     6148,
     {FIELD(ChannelNamesResponse, fReserved, 0), FIELD(ChannelNamesResponse, fInNames, 4),
      FIELD(ChannelNamesResponse, fOutNames, 1028)}},
    {"StreamingHeadersResponse",
     sizeof(StreamingHeadersResponse),
     8,
     sizeof(Dext::StreamingHeadersResponse),
     4104,
     {FIELD(StreamingHeadersResponse, fStatus, 0), FIELD(StreamingHeadersResponse, fVersion, 4)}},
    {"EnableStreamingHeadersRequest",
     sizeof(EnableStreamingHeadersRequest),
     2,
     0,
     0,
     {FIELD(EnableStreamingHeadersRequest, fVersion, 0), FIELD(EnableStreamingHeadersRequest, fEnable, 1)}},
    {"IsocPacketHeader",
     sizeof(IsocPacketHeader),
     5,
     0,
     0,
     {FIELD(IsocPacketHeader, totalNumSampleFramesSent, 0),
      FIELD(IsocPacketHeader, numSampleFramesThisPacket, 4)}},
    {"ChaseRecord",
     sizeof(ChaseRecord),
     1616,
     0,
     0,
     {FIELD(ChaseRecord, fChaseHostTime, 0), FIELD(ChaseRecord, fChaseMicroframe, 8),
      FIELD(ChaseRecord, fPacketHeaders, 16), FIELD(ChaseRecord, fPacketLengths, 816),
      FIELD(ChaseRecord, fDropped, 1456)}},
    {"USBRequestBlock",
     sizeof(USBRequestBlock),
     577504,
     0,
     0,
     {FIELD(USBRequestBlock, fHostTime, 0), FIELD(USBRequestBlock, fMicroframe, 8),
      FIELD(USBRequestBlock, fStartByteCount, 16), FIELD(USBRequestBlock, fEndByteCount, 24),
      FIELD(USBRequestBlock, fChase[0], 32), FIELD(USBRequestBlock, fChase[1], 1648),
      FIELD(USBRequestBlock, fBuffer, 3264)}},
    {"NotificationRecord",
     sizeof(NotificationRecord),
     4132,
     0,
     0,
     {FIELD(NotificationRecord, fMessageHeader, 0), FIELD(NotificationRecord, fReference, 24),
      FIELD(NotificationRecord, fType, 28), FIELD(NotificationRecord, fLength, 32),
      FIELD(NotificationRecord, fData, 36)}},
};

class KorvanDeviceIOLayout : public testing::TestWithParam<Layout>
{};

TEST_P(KorvanDeviceIOLayout, SizesAndOffsets)
{
    const Layout& layout = GetParam();
    EXPECT_EQ(layout.fKernelSize, layout.fExpectedKernelSize);
    EXPECT_EQ(layout.fDextSize, layout.fExpectedDextSize);
    for (const Field& field : layout.fFields) {
        EXPECT_EQ(field.fOffset, field.fExpected) << field.fName;
    }
}

INSTANTIATE_TEST_SUITE_P(Structures, KorvanDeviceIOLayout, testing::ValuesIn(kLayouts),
                         [](const testing::TestParamInfo<Layout>& info) {
                             return std::string(info.param.fName);
                         });

TEST(KorvanDeviceIOLayoutConstants, RingAndLimits)
{
    EXPECT_EQ(kRequestBlockSizeBytes, 577504u);
    EXPECT_EQ(kRequestDataSizeBytes, 574240u);
    EXPECT_EQ(kRequestRingSizeBytes, 11550080u);
    EXPECT_EQ(RequestBlockOffset(19), 10972576u);
    EXPECT_EQ(kIsocRingBufferDuration, 400000000u);
    EXPECT_EQ(kMaxDMAChannels, 32u);
    EXPECT_EQ(kMaxNotificationDataBytes, 4096u);
    EXPECT_EQ(static_cast<int>(Driver::CoreAudio), 0);
    EXPECT_EQ(static_cast<int>(Driver::Dext), 1);
    EXPECT_EQ(kNotificationInterruptStatus, 0u);
    EXPECT_EQ(kNotificationEngineError, 1u);
}

TEST(KorvanDeviceIOLayoutConstants, DextFormsStartWithTheKernelFields)
{
    Dext::GetPropertyResult result{};
    result.fValue = 7;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&result);
    EXPECT_EQ(bytes[4], 7);
    for (uint8_t reserved : result.fDextReserved) {
        ASSERT_EQ(reserved, 0);
    }
    EXPECT_EQ(static_cast<const void*>(&result.fDextReserved), static_cast<const void*>(bytes + 8));
}

TEST(KorvanDeviceIOLayoutConstants, KernelSelectorTable)
{
    struct Row
    {
        Selector fSelector;
        std::size_t fInput;
        std::size_t fOutput;
    };
    const Row expected[] = {{kGetDeviceInfo, 76, 76},
                            {kSetProperty, 8, 4},
                            {kGetProperty, 4, 8},
                            {kSendUACControlRequest, 20, 17},
                            {kSendVendorControlRequest, 36, 17},
                            {kSetUSBAudioRunState, 28, 4},
                            {kGetUSBConfig1Descriptors, 2052, 2052},
                            {kGetChannelNames, 4, 2052},
                            {kGetStreamingHeadersSupportedVersion, 0, 8},
                            {kSetStreamingHeadersEnable, 2, 0}};
    ASSERT_EQ(std::size(kKernelMethods), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(kKernelMethods[i].fSelector, i);
        EXPECT_EQ(kKernelMethods[i].fSelector, expected[i].fSelector);
        EXPECT_EQ(kKernelMethods[i].fInputBytes, expected[i].fInput) << i;
        EXPECT_EQ(kKernelMethods[i].fOutputBytes, expected[i].fOutput) << i;
    }
}

TEST(KorvanDeviceIORequests, PropertiesAndRequestTypes)
{
    EXPECT_EQ(PropertyValue(1), 95375u);
    EXPECT_EQ(PropertyValue(0), 0x2000000u);
    EXPECT_EQ(PropertyValue(2), 0x2000000u);

    const uint8_t vendorTypes[] = {0x40, 0xC0, 0x41, 0xC1, 0x21, 0xA1};
    ASSERT_EQ(kVendorRequestTypeCount, 6u);
    for (uint32_t type = 0; type < kVendorRequestTypeCount; ++type) {
        EXPECT_EQ(kVendorRequestTypes[type], vendorTypes[type]);
    }

    for (uint8_t set : {0, 1, 2, 0xFF}) {
        USBUACControlRequest request{};
        request.fSet = set;
        EXPECT_EQ(IsSetRequest(request), set != 0);
        EXPECT_EQ(UACRequestType(request), set != 0 ? 0x21 : 0xA1);
    }
}

TEST(KorvanDeviceIONameFields, ThirtyOneCharactersEndInANul)
{
    ChannelNamesResponse response;
    std::memset(&response, 0x55, sizeof response);
    const std::string name(31, 'n');
    WriteNameField(response.fInNames[3], name);
    EXPECT_EQ(response.fInNames[3][31], '\0');
    EXPECT_EQ(NameFieldText(response.fInNames[3]), name);

    WriteNameField(response.fOutNames[0], std::string(40, 'x'));
    EXPECT_EQ(NameFieldText(response.fOutNames[0]), std::string(31, 'x'));

    WriteNameField(response.fOutNames[1], "In 1");
    for (std::size_t i = 4; i < kNameFieldBytes; ++i) {
        EXPECT_EQ(response.fOutNames[1][i], '\0') << i;
    }
}

TEST(KorvanDeviceIONameFields, FieldsWithoutANulReadAsThirtyTwoCharacters)
{
    struct
    {
        DeviceInfoRequest fInfo;
        char fFollowing[8];
    } info;
    std::memset(&info, 'u', sizeof info);
    EXPECT_EQ(NameFieldText(info.fInfo.fUID), std::string(32, 'u'));
    EXPECT_EQ(NameFieldText(info.fInfo.fProductName), std::string(32, 'u'));

    ChannelNamesResponse response;
    std::memset(&response, 'c', sizeof response);
    EXPECT_EQ(NameFieldText(response.fInNames[31]), std::string(32, 'c'));
    EXPECT_EQ(NameFieldText(response.fOutNames[31]), std::string(32, 'c'));
}

} // namespace
