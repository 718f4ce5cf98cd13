#include "DeviceFixture.h"

#include <CoreFoundation/CFString.h>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;
using namespace KorvanInterface;
using namespace PlugInTesting;

namespace {

class DeviceSetUp : public DeviceFixture
{
protected:
    std::string Name(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope, UInt32 element)
    {
        CFStringRef string = nullptr;
        UInt32 size = 0;
        const AudioObjectPropertyAddress address{selector, scope, element};
        fDevice->GetPropertyData(fDeviceID, 0, address, 0, nullptr, sizeof(string), size, &string);
        char text[64] = {};
        CFStringGetCString(string, text, sizeof(text), kCFStringEncodingUTF8);
        CFRelease(string);
        return text;
    }
};

TEST_F(DeviceSetUp, ChannelNamesFromTheDriver)
{
    UseModel(Model::Brio);
    fService.setChannelNames({"Mic In L", "Mic In R"}, {"Main Out 1", "Main Out 2"});
    Activate();
    EXPECT_EQ(Name(kAudioObjectPropertyElementName, kAudioObjectPropertyScopeInput, 2), "Mic In R");
    EXPECT_EQ(Name(kAudioObjectPropertyElementCategoryName, kAudioObjectPropertyScopeInput, 2), "Mic In");
    EXPECT_EQ(Name(kAudioObjectPropertyElementNumberName, kAudioObjectPropertyScopeInput, 2), "2");
    EXPECT_EQ(Name(kAudioObjectPropertyElementName, kAudioObjectPropertyScopeOutput, 1), "Main Out 1");
    EXPECT_TRUE(fLog.contains("Got channel names!"));
}

TEST_F(DeviceSetUp, NameWithoutNumberGivesTheBuiltInNames)
{
    UseModel(Model::Brio);
    fService.setChannelNames({"Loopback", "Mic In 2"}, {"Main Out 1", "Main Out 2"});
    Activate();
    EXPECT_EQ(Name(kAudioObjectPropertyElementName, kAudioObjectPropertyScopeInput, 2), "Mic/Line/Inst In 2");
    EXPECT_TRUE(fLog.contains("Channel name or channel number missing from string (\"Loopback\")"))
        << fLog.text();
}

TEST_F(DeviceSetUp, RateFamilyOfTheDevicesRate)
{
    const struct
    {
        uint32_t rate;
        UInt32 in;
        UInt32 out;
        uint32_t alt;
    } cases[] = {{48000, 20, 22, 1}, {96000, 12, 14, 2}, {192000, 8, 10, 3}, {44100, 20, 22, 1}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.rate);
        fService.setCurValue(Entity::kClockSource, 1, RateBytes(testCase.rate));
        SA_DeviceUSB& device = Activate();
        EXPECT_EQ(device.GetSampleRate(), testCase.rate);
        EXPECT_EQ(device.GetInputChannels(), testCase.in);
        EXPECT_EQ(device.GetOutputChannels(), testCase.out);
        SubmitFirstOutputBlock();
        ASSERT_EQ(device.StartAudio(), 0);
        const USBAudioRunStateRequest run = fService.runStarts().back();
        EXPECT_EQ(run.fInAlt, testCase.alt);
        EXPECT_EQ(run.fOutAlt, testCase.alt);
        EXPECT_EQ(run.fInInterfaceNum, kRecordInterface);
        EXPECT_EQ(run.fOutInterfaceNum, kPlaybackInterface);
        EXPECT_EQ(run.fInBytesPerFrame, 4 * testCase.in);
        EXPECT_EQ(run.fOutBytesPerFrame, 4 * testCase.out);
        Renew();
    }
}

} // namespace
