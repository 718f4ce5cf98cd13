#include "DextDevice.h"
#include "DirectConnection.h"
#include "RecordingProvider.h"

#include <DriverKit/IOBufferMemoryDescriptor.h>

#include <DriverKitTesting/DriverKitTesting.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

namespace {

using namespace KorvanDeviceIO;
using DextTesting::Completions;
using KorvanInterface::DescriptorOptions;
using KorvanInterface::Model;

constexpr IOReturn kBadArgument = static_cast<IOReturn>(0xE00002C2);
constexpr IOReturn kError = static_cast<IOReturn>(0xE00002BC);
constexpr uint32_t kAudio = 0x494F494F;
constexpr uint32_t kTest = 0x54455354;

enum class Form
{
    None,
    Data,
    Descriptor,
    Scalars,
};

// One argument in one of the forms a call may carry.
class Argument
{
public:
    Argument(Form form, size_t size, const void* bytes = nullptr) : fForm(form), fScalars((size + 7) / 8, 0)
    {
        std::vector<uint8_t> content(size, 0xEE);
        if (bytes != nullptr) {
            std::memcpy(content.data(), bytes, size);
        }
        switch (form) {
        case Form::Data:
            fData.reset(form == Form::Data && bytes != nullptr ? OSData::withBytes(content.data(), size)
                                                               : OSData::withCapacity(0),
                        OSNoRetain);
            break;
        case Form::Descriptor: {
            IOBufferMemoryDescriptor* raw = nullptr;
            IOBufferMemoryDescriptor::Create(kIOMemoryDirectionInOut, size, 0, &raw);
            fDescriptor.reset(raw, OSNoRetain);
            std::memcpy(raw->platformBytes(), content.data(), size);
            break;
        }
        case Form::Scalars:
            std::memcpy(fScalars.data(), content.data(), size);
            break;
        case Form::None:
            break;
        }
        fSize = size;
    }

    void asInput(IOUserClientMethodArguments& arguments)
    {
        arguments.structureInput = fData.get();
        arguments.structureInputDescriptor = fDescriptor.get();
        if (fForm == Form::Scalars) {
            arguments.scalarInput = fScalars.data();
            arguments.scalarInputCount = uint32_t(fScalars.size());
        }
    }

    void asOutput(IOUserClientMethodArguments& arguments)
    {
        arguments.structureOutput = fData.get();
        arguments.structureOutputMaximumSize = fForm == Form::Data ? fSize : 0;
        arguments.structureOutputDescriptor = fDescriptor.get();
        if (fForm == Form::Scalars) {
            arguments.scalarOutput = fScalars.data();
            arguments.scalarOutputCount = uint32_t(fScalars.size());
        }
    }

    // How many bytes of a filled output were written: a data object's length, else up to the last
    // byte that no longer holds the fill.
    size_t written() const
    {
        if (fForm == Form::Data) {
            return fData->getLength();
        }
        const uint8_t* bytes = fForm == Form::Descriptor ? fDescriptor->platformBytes()
                                                         : reinterpret_cast<const uint8_t*>(fScalars.data());
        size_t last = 0;
        for (size_t i = 0; i < fSize; ++i) {
            if (bytes[i] != 0xEE) {
                last = i + 1;
            }
        }
        return last;
    }

private:
    Form fForm;
    size_t fSize = 0;
    OSSharedPtr<OSData> fData;
    OSSharedPtr<IOBufferMemoryDescriptor> fDescriptor;
    std::vector<uint64_t> fScalars;
};

struct CallCase
{
    const char* name;
    uint32_t client;
    uint64_t selector;
    Form inputForm;
    std::vector<uint8_t> input;
    Form outputForm;
    size_t outputSize;
    bool completion;
    IOReturn result;
    size_t written;
    std::vector<std::string> calls;
    std::optional<IOReturn> completed = std::nullopt;
};

std::vector<uint8_t> bytesOf(const void* value, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(value);
    return {bytes, bytes + size};
}

const GetPropertyRequest kBuildNumber{1};
const USBAudioRunStateRequest kRun{1, 2, 1, 80, 1, 1, 88};
const USBAudioRunStateRequest kStop{};

class DextRecordedUserClient : public DextTesting::DextDeviceTest,
                               public testing::WithParamInterface<CallCase>
{
protected:
    static void SetUpTestSuite() { DextTesting::keepConnections(); }

    void SetUp() override
    {
        DextTesting::registerDextDrivers();
        DextTesting::registerRecordingControl();
        attach(DescriptorOptions(Model::Wrenlet, DextTesting::kRecordingVendor));
        connect = open(kAudio);
        audio = DextTesting::lastConnection();
        test = open(kTest);
        testClient = DextTesting::lastConnection();
        provider = DextTesting::recordingProvider();
        ASSERT_NE(provider, nullptr);
        provider->clearCalls();
    }

    void TearDown() override
    {
        audio.reset();
        testClient.reset();
        IOServiceClose(test);
        DextDeviceTest::TearDown();
    }

    IOReturn call(uint32_t client, uint64_t selector, Argument& input, Argument& output, OSAction* completion)
    {
        IOUserClientMethodArguments arguments{};
        arguments.selector = selector;
        arguments.completion = completion;
        input.asInput(arguments);
        output.asOutput(arguments);
        IOUserClient* target = (client == kAudio ? audio : testClient)->client();
        return target->ExternalMethod(selector, &arguments, nullptr, nullptr, nullptr);
    }

    io_connect_t test = 0;
    std::shared_ptr<DriverKitPlatform::UserClientConnection> audio;
    std::shared_ptr<DriverKitPlatform::UserClientConnection> testClient;
    DextTesting::RecordingProvider* provider = nullptr;
};

TEST_P(DextRecordedUserClient, AnswersAsItsTableSays)
{
    const CallCase& c = GetParam();
    Argument input(c.inputForm, c.input.size(), c.input.data());
    Argument output(c.outputForm, c.outputSize);
    Completions completions;

    EXPECT_EQ(call(c.client, c.selector, input, output, c.completion ? completions.action() : nullptr),
              c.result);

    EXPECT_EQ(output.written(), c.written);
    EXPECT_EQ(provider->calls(), c.calls);
    const std::vector<IOReturn> delivered = completions.settled();
    if (c.completed) {
        EXPECT_EQ(delivered, (std::vector<IOReturn>{*c.completed}));
    } else {
        EXPECT_TRUE(delivered.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    DextCalls, DextRecordedUserClient,
    testing::Values(
        CallCase{"InfoWithoutInput",
                 kAudio,
                 0,
                 Form::None,
                 {},
                 Form::Descriptor,
                 4172,
                 false,
                 0,
                 4168,
                 {"GetDeviceInfo"}},
        CallCase{"InfoWhole",
                 kAudio,
                 0,
                 Form::Descriptor,
                 std::vector<uint8_t>(4172),
                 Form::Descriptor,
                 4172,
                 false,
                 0,
                 4172,
                 {"GetDeviceInfo"}},
        CallCase{"InfoOfAnotherSize",
                 kAudio,
                 0,
                 Form::None,
                 {},
                 Form::Descriptor,
                 4170,
                 false,
                 kBadArgument,
                 0,
                 {}},
        CallCase{"SetPropertyRefused",
                 kAudio,
                 1,
                 Form::Data,
                 std::vector<uint8_t>(8),
                 Form::Descriptor,
                 4100,
                 false,
                 kBadArgument,
                 4100,
                 {}},
        CallCase{"GetProperty",
                 kAudio,
                 2,
                 Form::Data,
                 bytesOf(&kBuildNumber, 4),
                 Form::Descriptor,
                 4104,
                 false,
                 0,
                 4104,
                 {}},
        CallCase{"GetPropertyIntoScalars",
                 kAudio,
                 2,
                 Form::Scalars,
                 bytesOf(&kBuildNumber, 4),
                 Form::Scalars,
                 8,
                 false,
                 kBadArgument,
                 0,
                 {}},
        CallCase{"ShortUACRequest",
                 kAudio,
                 4,
                 Form::Data,
                 std::vector<uint8_t>(19),
                 Form::Descriptor,
                 4113,
                 false,
                 kBadArgument,
                 0,
                 {}},
        CallCase{"UACRequest",
                 kAudio,
                 4,
                 Form::Data,
                 std::vector<uint8_t>(20),
                 Form::Descriptor,
                 4113,
                 false,
                 0,
                 4113,
                 {"SendUACControlRequest"}},
        CallCase{"ShortVendorRequest",
                 kAudio,
                 5,
                 Form::Data,
                 std::vector<uint8_t>(35),
                 Form::Descriptor,
                 4113,
                 false,
                 kBadArgument,
                 0,
                 {}},
        CallCase{"ShortRunState",
                 kAudio,
                 6,
                 Form::Data,
                 std::vector<uint8_t>(27),
                 Form::Descriptor,
                 4100,
                 false,
                 kBadArgument,
                 0,
                 {}},
        CallCase{"RunStateFromTheTestClient",
                 kTest,
                 6,
                 Form::Data,
                 bytesOf(&kRun, 28),
                 Form::Descriptor,
                 4100,
                 false,
                 kError,
                 4100,
                 {}},
        CallCase{"StopWhileStopped",
                 kAudio,
                 6,
                 Form::Data,
                 bytesOf(&kStop, 28),
                 Form::Descriptor,
                 4100,
                 false,
                 0,
                 4100,
                 {}},
        CallCase{"Start",
                 kAudio,
                 6,
                 Form::Data,
                 bytesOf(&kRun, 28),
                 Form::Descriptor,
                 4100,
                 false,
                 0,
                 4100,
                 {"StartAudioDMA"}},
        CallCase{"ShortChannelNames",
                 kAudio,
                 8,
                 Form::Data,
                 std::vector<uint8_t>(3),
                 Form::Descriptor,
                 6148,
                 false,
                 kBadArgument,
                 0,
                 {}},
        CallCase{"HeaderVersionOfTheWrongSize",
                 kAudio,
                 9,
                 Form::None,
                 {},
                 Form::Descriptor,
                 4100,
                 false,
                 kBadArgument,
                 0,
                 {}},
        CallCase{"HeaderVersion", kAudio, 9, Form::None, {}, Form::Descriptor, 4104, false, 0, 4104, {}},
        CallCase{"HeaderEnableOfTheWrongSize",
                 kAudio,
                 10,
                 Form::Data,
                 std::vector<uint8_t>(3),
                 Form::None,
                 0,
                 false,
                 kBadArgument,
                 0,
                 {}},
        CallCase{"UnknownSelector", kAudio, 11, Form::None, {}, Form::None, 0, false, kError, 0, {}},
        CallCase{"StrayCompletion",
                 kAudio,
                 2,
                 Form::Data,
                 bytesOf(&kBuildNumber, 4),
                 Form::Descriptor,
                 4104,
                 true,
                 0,
                 4104,
                 {},
                 kIOReturnSuccess},
        CallCase{"ShortRegistration",
                 kAudio,
                 3,
                 Form::None,
                 {},
                 Form::Descriptor,
                 4131,
                 true,
                 kBadArgument,
                 0,
                 {},
                 kBadArgument},
        CallCase{"RegistrationWithoutCompletion",
                 kAudio,
                 3,
                 Form::None,
                 {},
                 Form::Descriptor,
                 4132,
                 false,
                 kBadArgument,
                 0,
                 {}},
        CallCase{"HeldRegistration", kAudio, 3, Form::None, {}, Form::Descriptor, 4132, true, 0, 0, {}}),
    [](const testing::TestParamInfo<CallCase>& info) { return std::string(info.param.name); });

class DextRecordedRunState : public DextRecordedUserClient
{};

TEST_F(DextRecordedRunState, StartsOnceAndAFailedStartChangesNothing)
{
    Argument none(Form::None, 0);
    auto runState = [&](const USBAudioRunStateRequest& request) {
        Argument input(Form::Data, sizeof(request), &request);
        Argument output(Form::Descriptor, 4100);
        return call(kAudio, 6, input, output, nullptr);
    };
    provider->startResult = kError;
    EXPECT_EQ(runState(kRun), kError);
    provider->startResult = kIOReturnSuccess;
    EXPECT_EQ(runState(kRun), kIOReturnSuccess);
    EXPECT_EQ(runState(kRun), kIOReturnSuccess);
    EXPECT_EQ(provider->calls(), (std::vector<std::string>{"StartAudioDMA", "StartAudioDMA"}));

    // Closing the audio client stops audio before the client leaves the control service.
    audio.reset();
    IOServiceClose(connect);
    connect = 0;
    EXPECT_EQ(provider->calls().back(), "StopAudioDMA");
}

TEST_F(DextRecordedRunState, WakeRetriesUntilTheHardwareComesBack)
{
    DriverKitTesting::sleepSystem();
    provider->wakeResult = false;
    DriverKitTesting::wakeSystem();
    provider->wakeResult = true;
    DriverKitTesting::wakeSystem();
    EXPECT_EQ(provider->calls(),
              (std::vector<std::string>{"HardwareStop", "HardwareInit", "HardwareStop", "HardwareInit"}));
}

} // namespace
