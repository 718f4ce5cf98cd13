#include "DeviceFixture.h"

#include "CAException.h"
#include "PropAddressString.h"

#include <CoreFoundation/CFString.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace DeviceTesting;
using namespace PlugInTesting;

namespace {

constexpr AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector,
                                             AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                             AudioObjectPropertyElement element = 0)
{
    return {selector, scope, element};
}

std::string Text(CFStringRef string)
{
    char buffer[256] = {};
    CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8);
    return buffer;
}

// A child process running a copy of sleep from `folder`; gone with the object.
class ChildProcess
{
public:
    explicit ChildProcess(const std::string& folder)
    {
        char base[] = "/tmp/DevicePropsXXXXXX";
        fRoot = mkdtemp(base);
        const std::filesystem::path dir = fRoot / folder;
        std::filesystem::create_directories(dir);
        const std::filesystem::path program = dir / "client";
        std::filesystem::copy_file("/bin/sleep", program);
        char* argv[] = {const_cast<char*>("client"), const_cast<char*>("60"), nullptr};
        if (posix_spawn(&fPid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
            fPid = 0;
        }
    }

    ~ChildProcess()
    {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            waitpid(fPid, nullptr, 0);
        }
        std::filesystem::remove_all(fRoot);
    }

    pid_t pid() const { return fPid; }

private:
    std::filesystem::path fRoot;
    pid_t fPid = 0;
};

class DeviceProperties : public DeviceFixture
{
protected:
    void SetUp() override
    {
        DeviceFixture::SetUp();
        Activate();
    }

    OSStatus Get(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 size,
                 std::vector<uint8_t>& out, pid_t client = 0)
    {
        out.assign(size, 0xEE);
        UInt32 written = 0;
        try {
            fDevice->GetPropertyData(object, client, address, 0, nullptr, size, written, out.data());
        } catch (const CAException& failure) {
            return failure.GetError();
        }
        out.resize(written);
        return 0;
    }

    template <typename T>
    T GetValue(AudioObjectID object, const AudioObjectPropertyAddress& address, pid_t client = 0)
    {
        std::vector<uint8_t> out;
        EXPECT_EQ(Get(object, address, sizeof(T), out, client), 0);
        T value{};
        EXPECT_EQ(out.size(), sizeof(T));
        std::memcpy(&value, out.data(), std::min(out.size(), sizeof(T)));
        return value;
    }

    std::string GetString(AudioObjectID object, const AudioObjectPropertyAddress& address)
    {
        const auto string = GetValue<CFStringRef>(object, address);
        std::string text = Text(string);
        CFRelease(string);
        return text;
    }

    template <typename T>
    OSStatus Set(AudioObjectID object, const AudioObjectPropertyAddress& address, const T& value)
    {
        try {
            fDevice->SetPropertyData(object, 0, address, 0, nullptr, sizeof(T), &value);
        } catch (const CAException& failure) {
            return failure.GetError();
        }
        return 0;
    }

    AudioObjectID Volume(UInt32 channel) const { return fDeviceID + 35 + 2 * channel; }
    AudioObjectID InputMute(UInt32 channel) const { return fDeviceID + 3 + channel; }
};

TEST_F(DeviceProperties, SampleRatesAsFitTheBuffer)
{
    std::vector<uint8_t> out;
    ASSERT_EQ(Get(fDeviceID, Address(kAudioDevicePropertyAvailableNominalSampleRates), 40, out), 0);
    ASSERT_EQ(out.size(), 32u);
    AudioValueRange ranges[2];
    std::memcpy(ranges, out.data(), sizeof(ranges));
    EXPECT_EQ(ranges[0].mMinimum, 44100);
    EXPECT_EQ(ranges[0].mMaximum, 44100);
    EXPECT_EQ(ranges[1].mMinimum, 48000);
    EXPECT_EQ(fDevice->GetPropertyDataSize(
                  fDeviceID, 0, Address(kAudioDevicePropertyAvailableNominalSampleRates), 0, nullptr),
              96u);
}

TEST_F(DeviceProperties, Sizes4And8AndTheirShortBuffers)
{
    const struct
    {
        AudioObjectPropertySelector selector;
        AudioObjectPropertyScope scope;
        UInt32 size;
    } cases[] = {{kAudioDevicePropertyRelatedDevices, kAudioObjectPropertyScopeGlobal, 4},
                 {kAudioDevicePropertyZeroTimeStampPeriod, kAudioObjectPropertyScopeGlobal, 4},
                 {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 8},
                 {kAudioDevicePropertyPreferredChannelsForStereo, kAudioObjectPropertyScopeOutput, 8},
                 {kAudioDevicePropertySafetyOffset, kAudioObjectPropertyScopeInput, 4}};
    for (const auto& testCase : cases) {
        const auto address = Address(testCase.selector, testCase.scope);
        std::vector<uint8_t> out;
        EXPECT_EQ(Get(fDeviceID, address, testCase.size - 2, out),
                  OSStatus(kAudioHardwareBadPropertySizeError))
            << FourCharacters(testCase.selector);
        EXPECT_EQ(Get(fDeviceID, address, testCase.size, out), 0) << FourCharacters(testCase.selector);
        EXPECT_EQ(out.size(), testCase.size);
    }
    EXPECT_EQ(GetValue<UInt32>(fDeviceID, Address(kAudioDevicePropertyRelatedDevices)), fDeviceID);
    EXPECT_EQ(GetValue<UInt32>(fDeviceID, Address(kAudioDevicePropertyZeroTimeStampPeriod)), 16384u);
    EXPECT_EQ(GetValue<Float64>(fDeviceID, Address(kAudioDevicePropertyNominalSampleRate)), 48000.0);
    EXPECT_EQ(GetValue<UInt32>(fDeviceID,
                               Address(kAudioDevicePropertySafetyOffset, kAudioObjectPropertyScopeInput)),
              16u);
}

TEST_F(DeviceProperties, Names)
{
    EXPECT_EQ(GetString(fDeviceID, Address(kAudioObjectPropertyName)), "Wrenlet");
    EXPECT_EQ(GetString(fDeviceID, Address(kAudioObjectPropertyManufacturer)), "VORK, Inc");
    EXPECT_EQ(GetString(fDeviceID, Address(kAudioObjectPropertyElementName)), "Wrenlet");
    EXPECT_EQ(
        GetString(fDeviceID, Address(kAudioObjectPropertyElementName, kAudioObjectPropertyScopeInput, 3)),
        "Line In 3");
    EXPECT_EQ(GetString(fDeviceID, Address(kAudioObjectPropertyElementCategoryName,
                                           kAudioObjectPropertyScopeOutput, 11)),
              "Phones Out");
    EXPECT_EQ(GetString(fDeviceID,
                        Address(kAudioObjectPropertyElementNumberName, kAudioObjectPropertyScopeOutput, 12)),
              "2");
    EXPECT_EQ(GetString(fDeviceID,
                        Address(kAudioObjectPropertyElementCategoryName, kAudioObjectPropertyScopeInput, 21)),
              "");
    EXPECT_EQ(GetString(fDeviceID, Address(kAudioDevicePropertyDeviceUID)),
              "com_vork_driver_tide_control_interface:dev00001");
    EXPECT_EQ(GetString(fDevice->GetInputStreamID(), Address(kAudioObjectPropertyName)), "To Computer");
    EXPECT_EQ(GetString(fDevice->GetOutputStreamID(), Address(kAudioObjectPropertyName)), "From Computer");
}

TEST_F(DeviceProperties, VolumeScalarsDecibelsAndGains)
{
    const auto scalar = Address(kAudioLevelControlPropertyScalarValue, kAudioObjectPropertyScopeOutput, 1);
    const auto decibels = Address(kAudioLevelControlPropertyDecibelValue, kAudioObjectPropertyScopeOutput, 1);
    const struct
    {
        AudioObjectPropertyAddress address;
        Float32 value;
        Float32 scalar;
        float gain;
    } cases[] = {
        {scalar, 1.5f, 1.0f, 2147483392.0f},
        {decibels, -100.0f, 0.0f, 0.0f},
        {scalar, NAN, 0.0f, 0.0f},
        {scalar, INFINITY, 0.0f, 0.0f},
        {scalar, -INFINITY, 0.0f, 0.0f},
        {decibels, 0.0f, 1.0f, 2147483392.0f},
        {decibels, 12.0f, 1.0f, 2147483392.0f},
        {decibels, INFINITY, 1.0f, 2147483392.0f},
        {decibels, NAN, 0.0f, 0.0f},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.value);
        ASSERT_EQ(Set(Volume(0), testCase.address, testCase.value), 0);
        EXPECT_EQ(GetValue<Float32>(Volume(0), scalar), testCase.scalar);
        EXPECT_EQ(fDevice->GetOutputGain(0), testCase.gain);
    }
    ASSERT_EQ(Set(Volume(0), scalar, 0.5f), 0);
    EXPECT_NEAR(fDevice->GetOutputGain(0),
                2147483392.0f * std::pow(10.0f, (std::pow(0.5f, 0.29613208770751953f) - 1) * 97 / 20),
                1000.0f);
    const auto mute = Address(kAudioBooleanControlPropertyValue, kAudioObjectPropertyScopeOutput, 1);
    ASSERT_EQ(Set(Volume(0) + 1, mute, UInt32(1)), 0);
    EXPECT_EQ(fDevice->GetOutputGain(0), 0.0f);
    ASSERT_EQ(Set(Volume(0) + 1, mute, UInt32(0)), 0);
    EXPECT_GT(fDevice->GetOutputGain(0), 0.0f);

    AudioValueRange range =
        GetValue<AudioValueRange>(Volume(0), Address(kAudioLevelControlPropertyDecibelRange));
    EXPECT_EQ(range.mMinimum, -INFINITY);
    EXPECT_EQ(range.mMaximum, 0.0);
}

TEST_F(DeviceProperties, ScalarToDecibelsAndBack)
{
    for (Float32 value : {1.0f, 0.75f, 0.5f, 0.25f, 0.1f, 0.01f}) {
        std::vector<uint8_t> buffer(4);
        std::memcpy(buffer.data(), &value, 4);
        UInt32 written = 0;
        fDevice->GetPropertyData(Volume(2), 0, Address(kAudioLevelControlPropertyConvertScalarToDecibels), 0,
                                 nullptr, 4, written, buffer.data());
        Float32 db;
        std::memcpy(&db, buffer.data(), 4);
        EXPECT_LE(db, 0.0f);
        fDevice->GetPropertyData(Volume(2), 0, Address(kAudioLevelControlPropertyConvertDecibelsToScalar), 0,
                                 nullptr, 4, written, buffer.data());
        Float32 back;
        std::memcpy(&back, buffer.data(), 4);
        EXPECT_NEAR(back, value, 1e-5f) << value << " -> " << db << " dB";
    }
}

TEST_F(DeviceProperties, StreamFormatsAndActivity)
{
    AudioStreamBasicDescription format = GetValue<AudioStreamBasicDescription>(
        fDevice->GetOutputStreamID(), Address(kAudioStreamPropertyPhysicalFormat));
    EXPECT_EQ(format.mChannelsPerFrame, 22u);
    EXPECT_EQ(format.mSampleRate, 48000);
    format.mChannelsPerFrame = 2;
    format.mBytesPerFrame = format.mBytesPerPacket = 8;
    EXPECT_EQ(Set(fDevice->GetOutputStreamID(), Address(kAudioStreamPropertyPhysicalFormat), format),
              OSStatus(kAudioDeviceUnsupportedFormatError));

    const auto active = Address(kAudioStreamPropertyIsActive);
    const size_t before = fHost.Changes().size();
    ASSERT_EQ(Set(fDevice->GetInputStreamID(), active, UInt32(0)), 0);
    EXPECT_EQ(fHost.Changes().size(), before) << "no change, no notification";
    ASSERT_EQ(Set(fDevice->GetInputStreamID(), active, UInt32(1)), 0);
    ASSERT_EQ(fHost.Changes().size(), before + 1);
    EXPECT_EQ(fHost.Changes().back().fObjectID, fDevice->GetInputStreamID());
}

TEST_F(DeviceProperties, ClientsThatSeeNoTransportAndNoInputMute)
{
    const auto transport = Address(kAudioDevicePropertyTransportType);
    const auto inputMute = Address(kAudioBooleanControlPropertyValue, kAudioObjectPropertyScopeInput, 1);
    {
        ChildProcess client("Marrowtrack");
        ASSERT_GT(client.pid(), 0);
        EXPECT_EQ(GetValue<UInt32>(fDeviceID, transport, client.pid()), 0u);
        EXPECT_TRUE(fDevice->IsPropertySettable(InputMute(0), client.pid(), inputMute));
    }
    {
        ChildProcess client("zoom.us");
        ASSERT_GT(client.pid(), 0);
        EXPECT_EQ(GetValue<UInt32>(fDeviceID, transport, client.pid()), UInt32(kAudioDeviceTransportTypeUSB));
        EXPECT_FALSE(fDevice->IsPropertySettable(InputMute(0), client.pid(), inputMute));
    }
    pid_t exited = 0;
    char* argv[] = {const_cast<char*>("true"), nullptr};
    ASSERT_EQ(posix_spawn(&exited, "/bin/true", nullptr, nullptr, argv, environ), 0);
    waitpid(exited, nullptr, 0);
    EXPECT_EQ(GetValue<UInt32>(fDeviceID, transport, exited), UInt32(kAudioDeviceTransportTypeUSB));
    EXPECT_TRUE(fDevice->IsPropertySettable(InputMute(0), exited, inputMute));
}

TEST_F(DeviceProperties, ForeignIdsAndShortBuffers)
{
    std::vector<uint8_t> out;
    const auto address = Address(kAudioObjectPropertyName);
    EXPECT_EQ(Get(fDeviceID + 500, address, 8, out), OSStatus(kAudioHardwareBadObjectError));
    EXPECT_TRUE(fLog.contains("GetPropertyData - bad object ID for property " + PropAddressString(address)))
        << fLog.text();
    EXPECT_EQ(Get(fDeviceID, Address(kAudioDevicePropertyRelatedDevices), 2, out),
              OSStatus(kAudioHardwareBadPropertySizeError));
    EXPECT_EQ(Get(fDeviceID, Address('xxxx'), 8, out), OSStatus(kAudioHardwareUnknownPropertyError));
}

TEST_F(DeviceProperties, RatesThatAreNotSupportedChangeNothing)
{
    for (Float64 rate : {22050.0, double(NAN), double(INFINITY), -48000.0, 1e20}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(Set(fDeviceID, Address(kAudioDevicePropertyNominalSampleRate), rate), 0);
        AudioStreamBasicDescription format = GetValue<AudioStreamBasicDescription>(
            fDevice->GetOutputStreamID(), Address(kAudioStreamPropertyPhysicalFormat));
        format.mSampleRate = rate;
        ASSERT_EQ(Set(fDevice->GetOutputStreamID(), Address(kAudioStreamPropertyPhysicalFormat), format), 0);
    }
    // The change applies the rate asked for before: the device's own.
    fDevice->PerformConfigChange(SA_Device::kConfigChangeAction, fDevice);
    EXPECT_EQ(GetValue<Float64>(fDeviceID, Address(kAudioDevicePropertyNominalSampleRate)), 48000.0);
    EXPECT_TRUE(fLog.contains("SET SAMPLE RATE 0"));
}

} // namespace
