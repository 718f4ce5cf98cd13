#include "DescriptorFixtures.h"
#include "FakeKernelUserClient.h"
#include "Log.h"
#include "LogLines.h"
#include "USBClockControl.h"
#include "USBServiceClient.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using namespace DeviceTesting;
using namespace KorvanInterface;
using namespace PlugInTesting;
using testing::StartsWith;

namespace {

constexpr uint8_t kFrequencyControl = 1;
constexpr uint8_t kSelectorControl = 1;

std::vector<uint8_t> RateBytes(uint32_t rate)
{
    return {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16), uint8_t(rate >> 24)};
}

// The plug-in's sink, syslog, while it lives; the stream sink of the log lines afterwards.
class SyslogSink
{
public:
    SyslogSink() { Log::details::gUseSyslog = true; }
    ~SyslogSink() { Log::details::gUseSyslog = false; }
    SyslogSink(const SyslogSink&) = delete;
    SyslogSink& operator=(const SyslogSink&) = delete;
};

class USBClockControlTest : public testing::Test
{
protected:
    void SetUp() override
    {
        fService.publish();
        const io_service_t handle = fService.copyHandle();
        fClient = std::make_unique<USBServiceClient>(KorvanService(handle, KorvanService::kBusTypeUSB),
                                                     kAudioClientType, nullptr, nullptr);
        IOObjectRelease(handle);
        ASSERT_TRUE(fClient->Open());
        UseDescriptors(Variant::Standard);
        fService.setCurValue(Entity::kClockSelector, kSelectorControl, {1});
        fService.setCurValue(Entity::kClockSource, kFrequencyControl, RateBytes(48000));
    }

    void UseDescriptors(Variant variant) { fDescriptors = DescriptorsOf(Model::Wrenlet, variant); }

    std::vector<ControlRequest> Sets() const
    {
        std::vector<ControlRequest> sets;
        for (const ControlRequest& request : fService.controlRequests()) {
            if (request.fRequestType == KorvanDeviceIO::kUACSetRequestType) {
                sets.push_back(request);
            }
        }
        return sets;
    }

    // Reads the rate on the manual clock: every failed try waits 10 ms, which the test advances.
    uint32_t ReadRate(bool& valid, int expectedWaits)
    {
        DarwinTesting::ManualClock clock;
        auto reading = std::async(std::launch::async,
                                  [&] { return GetDeviceSampleRate(*fClient, fDescriptors, valid); });
        for (int wait = 0; wait < expectedWaits; ++wait) {
            const uint64_t due = DarwinClock::hostNow() + 10000000;
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (clock.nextDeadline() != due && std::chrono::steady_clock::now() < limit) {
                std::this_thread::yield();
            }
            EXPECT_EQ(clock.nextDeadline(), due) << "try " << wait + 1 << " waits 10 ms";
            clock.advance(std::chrono::milliseconds(10));
        }
        const uint32_t rate = reading.get();
        EXPECT_EQ(clock.nextDeadline(), DarwinClock::kNever);
        return rate;
    }

    LogLines fLog;
    FakeKernelService fService{"clock001"};
    std::unique_ptr<USBServiceClient> fClient;
    KorvanDeviceIO::USBDescriptors fDescriptors{};
};

TEST_F(USBClockControlTest, SettingTheRunningRateSendsOnlyTheGet)
{
    SetDeviceSampleRate(*fClient, fDescriptors, 48000);
    EXPECT_TRUE(Sets().empty());
    EXPECT_EQ(fService.controlRequests().size(), 2u) << "the selector's pin, then the rate";

    SetDeviceSampleRate(*fClient, fDescriptors, 96000);
    const auto sets = Sets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].fValue, kFrequencyControl << 8);
    EXPECT_EQ(sets[0].fIndex, Entity::kClockSource << 8);
    EXPECT_EQ(sets[0].fData, RateBytes(96000));
    EXPECT_TRUE(fLog.contains("Sending sample rate 96000, entityID 00000010"));
}

TEST_F(USBClockControlTest, UnsupportedRatesAreNeverSent)
{
    for (uint32_t rate : {32000u, 0u, 22050u, 384000u}) {
        SetDeviceSampleRate(*fClient, fDescriptors, rate);
    }
    EXPECT_TRUE(Sets().empty());
    EXPECT_EQ(fLog.count("NOT SETTING SAMPLE RATE"), 4);
}

TEST_F(USBClockControlTest, ReadOnlyClockCanBeReadButNotSet)
{
    UseDescriptors(Variant::ReadOnlyClock);
    EXPECT_FALSE(CanSetSampleRate(*fClient, fDescriptors));
    SetDeviceSampleRate(*fClient, fDescriptors, 96000);
    EXPECT_TRUE(Sets().empty());
    bool valid = false;
    EXPECT_EQ(ReadRate(valid, 0), 48000u);
    EXPECT_TRUE(valid);

    UseDescriptors(Variant::Standard);
    EXPECT_TRUE(CanSetSampleRate(*fClient, fDescriptors));
}

TEST_F(USBClockControlTest, ReadsEverySupportedRate)
{
    for (uint32_t rate : {44100u, 48000u, 88200u, 96000u, 176400u, 192000u}) {
        fService.setCurValue(Entity::kClockSource, kFrequencyControl, RateBytes(rate));
        bool valid = false;
        EXPECT_EQ(ReadRate(valid, 0), rate);
        EXPECT_TRUE(valid);
    }
}

// Short answers, empty answers, rates of no family and failed requests are failed tries: three,
// 10 ms apart, then 48000 and "rate valid" false.
TEST_F(USBClockControlTest, FailedReadsFallBackTo48000)
{
    const struct
    {
        const char* name;
        Variant variant;
        std::vector<uint8_t> answer;
        bool getsFail;
    } cases[] = {
        {"no clock selector", Variant::NoClockSelector, RateBytes(96000), false},
        {"short answer", Variant::Standard, {0x80, 0xBB}, false},
        {"empty answer", Variant::Standard, {}, false},
        {"rate 0", Variant::Standard, RateBytes(0), false},
        {"rate 32000", Variant::Standard, RateBytes(32000), false},
        {"failing GET", Variant::Standard, RateBytes(96000), true},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        UseDescriptors(testCase.variant);
        fService.setCurValue(Entity::kClockSource, kFrequencyControl, testCase.answer);
        fService.setCurGetsFail(testCase.getsFail);
        bool valid = true;
        EXPECT_EQ(ReadRate(valid, 3), 48000u);
        EXPECT_FALSE(valid);
    }
    EXPECT_EQ(fLog.count("READ DEVICE SAMPLE RATE FAILED"), 6);
}

TEST_F(USBClockControlTest, ClockSourceOfTheSelectorsPin)
{
    const struct
    {
        const char* name;
        Variant variant;
        std::vector<uint8_t> pin;
        int source; // -1: none
    } cases[] = {
        {"pin 1", Variant::Standard, {1}, Entity::kClockSource},
        {"pin 0", Variant::Standard, {0}, -1},
        {"pin past the selector's pins", Variant::Standard, {2}, -1},
        {"no answer", Variant::Standard, {}, -1},
        {"second of two sources", Variant::TwoClockSources, {2}, Entity::kSecondClockSource},
        {"past two sources", Variant::TwoClockSources, {3}, -1},
        {"no selector", Variant::NoClockSelector, {1}, -1},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        UseDescriptors(testCase.variant);
        fService.setCurValue(Entity::kClockSelector, kSelectorControl, testCase.pin);
        const uint8_t* source = GetCurrentClockSourceDesc(*fClient, fDescriptors.fData,
                                                          fDescriptors.fData + fDescriptors.fLength);
        if (testCase.source < 0) {
            EXPECT_EQ(source, nullptr);
        } else {
            ASSERT_NE(source, nullptr);
            EXPECT_EQ(source[2], 0x0A);
            EXPECT_EQ(source[3], testCase.source);
        }
    }
}

// Every class request is logged before it goes out, a failing one too; here to syslog, the sink the
// plug-in logs to.
TEST_F(USBClockControlTest, EveryClassRequestLogsItsLine)
{
    const struct
    {
        bool set;
        uint8_t entity;
        uint8_t length;
        bool getsFail;
        const char* line;
    } cases[] = {
        {false, Entity::kClockSource, 4, false, "SendAudioClassRequest get 01, 10 4 bytes\n"},
        {true, Entity::kClockSource, 4, false, "SendAudioClassRequest set 01, 10 4 bytes\n"},
        {false, Entity::kClockSelector, 1, false, "SendAudioClassRequest get 01, 11 1 bytes\n"},
        {false, Entity::kClockSource, 4, true, "SendAudioClassRequest get 01, 10 4 bytes\n"},
    };
    SyslogSink sink;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.line);
        fService.setCurGetsFail(testCase.getsFail);
        DarwinTesting::LogCapture capture;
        uint8_t data[4] = {0x80, 0xBB, 0x00, 0x00};
        SendAudioClassRequest(*fClient, testCase.set, kFrequencyControl, testCase.entity, data,
                              testCase.length);
        const auto texts = capture.texts(DarwinLog::Source::Syslog);
        ASSERT_FALSE(texts.empty());
        EXPECT_THAT(texts.front(), StartsWith(std::string(" ") + testCase.line + " (USBClockControl.cpp:"));
        if (testCase.getsFail) {
            EXPECT_THAT(texts.back(), StartsWith(" SendAudioClassRequest failed (USBClockControl.cpp:"));
        } else {
            EXPECT_EQ(texts.size(), 1u);
        }
    }
}

// A selector whose pin count runs past its own length names no source.
TEST_F(USBClockControlTest, PinOutsideTheSelectorDescriptor)
{
    uint8_t* selector = fDescriptors.fData;
    while (!(selector[1] == 0x24 && selector[2] == 0x0B)) {
        ASSERT_LT(selector, fDescriptors.fData + fDescriptors.fLength);
        selector += selector[0];
    }
    selector[4] = 200;
    for (uint8_t pin : {uint8_t(4), uint8_t(5), uint8_t(200)}) {
        fService.setCurValue(Entity::kClockSelector, kSelectorControl, {pin});
        EXPECT_EQ(GetCurrentClockSourceDesc(*fClient, fDescriptors.fData,
                                            fDescriptors.fData + fDescriptors.fLength),
                  nullptr)
            << int(pin);
    }
}

} // namespace
