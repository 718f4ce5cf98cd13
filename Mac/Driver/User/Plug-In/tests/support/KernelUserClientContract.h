#pragma once

// What the plug-in relies on from the kernel extension's user client, as a typed test suite over
// a factory of the thing under test. A factory F has:
//   F()                                      a published control-interface service whose device
//                                            is attached, reporting F::kUID
//   io_service_t service() const             its handle (the factory keeps the reference)
//   void notify(uint32_t type, const void*, uint32_t length)
//                                            the driver's NotifyUserClient
//   void detachDevice()                      the user client loses its USB provider
//   static std::vector<uint8_t> input(uint32_t selector)
//                                            the request selectors 3, 4 and 7 send, one the
//                                            device answers (empty: zeros)
//   static USBAudioRunStateRequest runState(uint32_t state)
//                                            a run-state request with interfaces that stream
//   static constexpr kern_return_t kMappingWithoutDevice
//                                            what mapping a ring answers after detachDevice
// Instantiate with INSTANTIATE_TYPED_TEST_SUITE_P(Name, KernelUserClientContract, Types<F>).

#include "KorvanDeviceIO.h"

#include <CoreFoundation/CFMachPort.h>
#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/Eventually.h>
#include <IOKit/IOKitLib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace KernelUserClientContractSupport {

using namespace KorvanDeviceIO;

inline constexpr uint32_t kAudioType = 0x494F494F; // 'IOIO'
inline constexpr uint32_t kTestType = 0x54455354;  // 'TEST'

// One open connection, closed with the test.
class Connection
{
public:
    Connection(io_service_t service, uint32_t type)
    {
        fResult = IOServiceOpen(service, mach_task_self(), type, &fConnect);
    }
    ~Connection()
    {
        if (fConnect != 0) {
            IOServiceClose(fConnect);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    kern_return_t result() const { return fResult; }

    kern_return_t call(uint32_t selector, size_t inputSize, size_t outputSize, void* output = nullptr,
                       const void* input = nullptr)
    {
        std::vector<uint8_t> in(inputSize, 0);
        if (input != nullptr) {
            std::memcpy(in.data(), input, inputSize);
        }
        std::vector<uint8_t> out(outputSize, 0);
        size_t size = outputSize;
        const kern_return_t result =
            IOConnectCallStructMethod(fConnect, selector, inputSize ? in.data() : nullptr, inputSize,
                                      outputSize ? out.data() : nullptr, &size);
        if (output != nullptr) {
            std::memcpy(output, out.data(), outputSize);
        }
        return result;
    }

    io_connect_t handle() const { return fConnect; }

private:
    io_connect_t fConnect = 0;
    kern_return_t fResult;
};

// The records that reach a mach port served by the test thread's run loop.
class NotificationPort
{
public:
    NotificationPort()
    {
        CFMachPortContext context = {0, this, nullptr, nullptr, nullptr};
        fPort = CFMachPortCreate(nullptr, Received, &context, nullptr);
        fSource = CFMachPortCreateRunLoopSource(nullptr, fPort, 0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), fSource, kCFRunLoopDefaultMode);
    }
    ~NotificationPort()
    {
        CFMachPortInvalidate(fPort);
        CFRelease(fSource);
        CFRelease(fPort);
    }
    NotificationPort(const NotificationPort&) = delete;
    NotificationPort& operator=(const NotificationPort&) = delete;

    mach_port_t port() const { return CFMachPortGetPort(fPort); }
    std::vector<std::vector<uint8_t>> received()
    {
        CoreFoundationTesting::runUntilIdle();
        return fMessages;
    }

private:
    static void Received(CFMachPortRef, void* message, CFIndex size, void* info)
    {
        auto* self = static_cast<NotificationPort*>(info);
        const auto* bytes = static_cast<const uint8_t*>(message);
        self->fMessages.emplace_back(bytes, bytes + size);
    }

    CFMachPortRef fPort;
    CFRunLoopSourceRef fSource;
    std::vector<std::vector<uint8_t>> fMessages;
};

} // namespace KernelUserClientContractSupport

template <typename Factory>
class KernelUserClientContract : public testing::Test
{
protected:
    Factory fFactory;
};

TYPED_TEST_SUITE_P(KernelUserClientContract);

TYPED_TEST_P(KernelUserClientContract, SelectorsAnswerWithTheirSizesAndCodes)
{
    using namespace KernelUserClientContractSupport;
    Connection connection(this->fFactory.service(), kAudioType);
    ASSERT_EQ(connection.result(), kIOReturnSuccess);
    struct SelectorCase
    {
        uint32_t fSelector;
        kern_return_t fResult;
    };
    const SelectorCase cases[] = {
        {kGetDeviceInfo, kIOReturnSuccess},
        {kSetProperty, kIOReturnBadArgument},
        {kGetProperty, kIOReturnSuccess},
        {kSendUACControlRequest, kIOReturnSuccess},
        {kSendVendorControlRequest, kIOReturnSuccess},
        {kSetUSBAudioRunState, kIOReturnSuccess},
        {kGetUSBConfig1Descriptors, kIOReturnSuccess},
        {kGetChannelNames, kIOReturnSuccess},
        {kGetStreamingHeadersSupportedVersion, kIOReturnUnsupported},
        {kSetStreamingHeadersEnable, kIOReturnUnsupported},
    };
    for (const SelectorCase& c : cases) {
        SCOPED_TRACE(c.fSelector);
        const MethodSizes& sizes = kKernelMethods[c.fSelector];
        const std::vector<uint8_t> input = TypeParam::input(c.fSelector);
        ASSERT_TRUE(input.empty() || input.size() == sizes.fInputBytes);
        EXPECT_EQ(connection.call(c.fSelector, sizes.fInputBytes, sizes.fOutputBytes, nullptr,
                                  input.empty() ? nullptr : input.data()),
                  c.fResult);
        EXPECT_EQ(connection.call(c.fSelector, sizes.fInputBytes + 1, sizes.fOutputBytes),
                  kIOReturnBadArgument);
    }
    EXPECT_EQ(connection.call(10, 0, 0), kIOReturnUnsupported);

    ErrorResult status = {};
    SetPropertyRequest set = {1, 5};
    EXPECT_EQ(connection.call(kSetProperty, sizeof(set), sizeof(status), &status, &set),
              kIOReturnBadArgument);
    EXPECT_EQ(status.fStatus, uint32_t(kIOReturnBadArgument));
    for (uint32_t property : {kPropertyBuildNumber, 2u, 77u}) {
        GetPropertyRequest get = {property};
        GetPropertyResult result = {};
        EXPECT_EQ(connection.call(kGetProperty, sizeof(get), sizeof(result), &result, &get),
                  kIOReturnSuccess);
        EXPECT_EQ(result.fStatus, 0u);
        EXPECT_EQ(result.fValue, PropertyValue(property));
    }
    DeviceInfoRequest info = {};
    EXPECT_EQ(connection.call(kGetDeviceInfo, sizeof(info), sizeof(info), &info, &info), kIOReturnSuccess);
    EXPECT_EQ(NameFieldText(info.fUID), TypeParam::kUID);
    USBVendorControlRequest badType = {6, 1, 0, 0, 0, {}};
    EXPECT_EQ(connection.call(kSendVendorControlRequest, sizeof(badType), sizeof(USBControlResponse), nullptr,
                              &badType),
              kIOReturnBadArgument);
    USBVendorControlRequest tooLong = {1, 1, 0, 0, 17, {}};
    EXPECT_EQ(connection.call(kSendVendorControlRequest, sizeof(tooLong), sizeof(USBControlResponse), nullptr,
                              &tooLong),
              kIOReturnBadArgument);
    USBUACControlRequest uacTooLong = {0, 1, 40, 17, {}};
    EXPECT_EQ(connection.call(kSendUACControlRequest, sizeof(uacTooLong), sizeof(USBControlResponse), nullptr,
                              &uacTooLong),
              kIOReturnBadArgument);

    this->fFactory.detachDevice();
    for (uint32_t selector = kGetDeviceInfo; selector <= kGetChannelNames; ++selector) {
        const MethodSizes& sizes = kKernelMethods[selector];
        EXPECT_EQ(connection.call(selector, sizes.fInputBytes, sizes.fOutputBytes), kIOReturnError)
            << selector;
    }
}

TYPED_TEST_P(KernelUserClientContract, RunStateActsOnlyOnChangesOfAnAudioClient)
{
    using namespace KernelUserClientContractSupport;
    Connection audio(this->fFactory.service(), kAudioType);
    ASSERT_EQ(audio.result(), kIOReturnSuccess);
    // A change to a running state starts streaming, which a driver on the real clock can refuse
    // where the machine hides the frame clock's boundaries; the client then asks again.
    struct RunCase
    {
        uint32_t fRunState;
        bool fStarts;
    };
    const RunCase cases[] = {{1, true}, {1, false}, {0, false}, {0, false}, {2, true}};
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.fRunState);
        USBAudioRunStateRequest request = TypeParam::runState(c.fRunState);
        ErrorResult status = {0xFFFFFFFF};
        const auto change = [&] {
            status = {0xFFFFFFFF};
            return audio.call(kSetUSBAudioRunState, sizeof(request), sizeof(status), &status, &request) ==
                       kIOReturnSuccess &&
                   status.fStatus == 0;
        };
        EXPECT_TRUE(c.fStarts ? DarwinTesting::startedWithin(change) : change());
    }
    Connection test(this->fFactory.service(), kTestType);
    ASSERT_EQ(test.result(), kIOReturnSuccess);
    USBAudioRunStateRequest request = TypeParam::runState(1);
    ErrorResult status = {};
    EXPECT_EQ(test.call(kSetUSBAudioRunState, sizeof(request), sizeof(status), &status, &request),
              kIOReturnError);
    EXPECT_EQ(status.fStatus, uint32_t(kIOReturnError));
}

TYPED_TEST_P(KernelUserClientContract, MemoryTypesAreTheTwoRings)
{
    using namespace KernelUserClientContractSupport;
    Connection connection(this->fFactory.service(), kAudioType);
    ASSERT_EQ(connection.result(), kIOReturnSuccess);
    for (uint32_t type : {kInputRingMemoryType, kOutputRingMemoryType}) {
        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        EXPECT_EQ(IOConnectMapMemory64(connection.handle(), type, mach_task_self(), &address, &size,
                                       kIOMapAnywhere),
                  kIOReturnSuccess);
        EXPECT_EQ(size, kRequestRingSizeBytes);
        EXPECT_NE(address, 0u);
        EXPECT_EQ(IOConnectUnmapMemory64(connection.handle(), type, mach_task_self(), address),
                  kIOReturnSuccess);
    }
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    EXPECT_EQ(IOConnectMapMemory64(connection.handle(), 3, mach_task_self(), &address, &size, kIOMapAnywhere),
              kIOReturnBadArgument);
    this->fFactory.detachDevice();
    EXPECT_EQ(IOConnectMapMemory64(connection.handle(), kInputRingMemoryType, mach_task_self(), &address,
                                   &size, kIOMapAnywhere),
              TypeParam::kMappingWithoutDevice);
}

TYPED_TEST_P(KernelUserClientContract, NotificationsArriveAsUserSpaceRecords)
{
    using namespace KernelUserClientContractSupport;
    Connection connection(this->fFactory.service(), kAudioType);
    ASSERT_EQ(connection.result(), kIOReturnSuccess);
    NotificationPort port;
    ASSERT_EQ(IOConnectSetNotificationPort(connection.handle(), 0, port.port(), 0), kIOReturnSuccess);
    const uint8_t status[6] = {0, 1, 1, 0, 0, 40};
    this->fFactory.notify(kNotificationInterruptStatus, status, sizeof(status));
    std::vector<uint8_t> tooLong(kMaxNotificationDataBytes + 1, 0);
    this->fFactory.notify(kNotificationInterruptStatus, tooLong.data(), uint32_t(tooLong.size()));
    const std::vector<std::vector<uint8_t>> received = port.received();
    ASSERT_EQ(received.size(), 1u);
    ASSERT_EQ(received[0].size(), sizeof(NotificationRecord));
    NotificationRecord record;
    std::memcpy(&record, received[0].data(), sizeof(record));
    EXPECT_EQ(record.fReference, 0u);
    EXPECT_EQ(record.fType, uint32_t(kNotificationInterruptStatus));
    EXPECT_EQ(record.fLength, sizeof(status));
    EXPECT_EQ(std::memcmp(record.fData, status, sizeof(status)), 0);
}

TYPED_TEST_P(KernelUserClientContract, OneClientOfEachTypeAtATime)
{
    using namespace KernelUserClientContractSupport;
    Connection first(this->fFactory.service(), kAudioType);
    EXPECT_EQ(first.result(), kIOReturnSuccess);
    Connection second(this->fFactory.service(), kAudioType);
    EXPECT_EQ(second.result(), kIOReturnUnsupported);
    Connection unknown(this->fFactory.service(), 0x41424344);
    EXPECT_EQ(unknown.result(), kIOReturnUnsupported);
}

REGISTER_TYPED_TEST_SUITE_P(KernelUserClientContract, SelectorsAnswerWithTheirSizesAndCodes,
                            RunStateActsOnlyOnChangesOfAnAudioClient, MemoryTypesAreTheTwoRings,
                            NotificationsArriveAsUserSpaceRecords, OneClientOfEachTypeAtATime);
