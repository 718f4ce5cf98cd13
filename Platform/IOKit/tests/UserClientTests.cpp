// IOServiceOpen and the connection calls, against a recording driver side.

#include "IOKitTestSupport.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <ostream>

using namespace IOKitTestSupport;
using IOKitPlatform::SharedMemory;
using IOKitPlatform::UserClientConnection;
using IOKitPlatform::UserClientProvider;

namespace {

const std::vector<std::string> kControlClass = {"com_vork_driver_tide_control_interface",
                                                "com_vork_driver_tide_base_interface", "IOService"};
constexpr uint32_t kTestType = 0x54455354;  // 'TEST'
constexpr uint32_t kAudioType = 0x494F494F; // 'IOIO'
constexpr uint32_t kRingType = 1;
constexpr uint32_t kEmptyType = 2;
constexpr size_t kRingSize = 64 * 1024;

// What the driver side saw, and the ring it shares.
struct DriverSide
{
    DriverSide()
    {
        fRingFd = memfd_create("ring", MFD_CLOEXEC);
        EXPECT_EQ(ftruncate(fRingFd, kRingSize), 0);
        fRing =
            static_cast<uint8_t*>(mmap(nullptr, kRingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fRingFd, 0));
    }

    ~DriverSide()
    {
        munmap(fRing, kRingSize);
        close(fRingFd);
    }

    struct Call
    {
        uint32_t fSelector;
        std::vector<uint8_t> fInput;
        size_t fOutputCapacity;
    };

    std::mutex fLock;
    std::vector<Call> fCalls;
    int fOpens = 0;
    int fCloses = 0;
    mach_port_t fPort = MACH_PORT_NULL;
    uintptr_t fReference = 0;
    int fRingFd;
    uint8_t* fRing;
};

// Echoes the input into the output as far as it fits; selectors above 9 are unsupported.
class TestConnection final : public UserClientConnection
{
public:
    explicit TestConnection(DriverSide& driver) : fDriver(driver) {}

    IOReturn callStructMethod(uint32_t selector, const void* input, size_t inputSize, void* output,
                              size_t* outputSize) override
    {
        auto* bytes = static_cast<const uint8_t*>(input);
        {
            std::lock_guard lock(fDriver.fLock);
            fDriver.fCalls.push_back({selector, std::vector<uint8_t>(bytes, bytes + inputSize), *outputSize});
        }
        if (selector > 9) {
            return kIOReturnUnsupported;
        }
        *outputSize = std::min(*outputSize, inputSize);
        if (*outputSize > 0) {
            memcpy(output, input, *outputSize);
        }
        return kIOReturnSuccess;
    }

    IOReturn sharedMemory(uint32_t memoryType, SharedMemory* memory) override
    {
        if (memoryType == kRingType) {
            *memory = {fDriver.fRingFd, kRingSize};
            return kIOReturnSuccess;
        }
        if (memoryType == kEmptyType) {
            *memory = {fDriver.fRingFd, 0};
            return kIOReturnSuccess;
        }
        return kIOReturnBadArgument;
    }

    IOReturn registerNotificationPort(mach_port_t port, uint32_t, uintptr_t reference) override
    {
        std::lock_guard lock(fDriver.fLock);
        fDriver.fPort = port;
        fDriver.fReference = reference;
        return kIOReturnSuccess;
    }

    void close() override
    {
        std::lock_guard lock(fDriver.fLock);
        ++fDriver.fCloses;
    }

private:
    DriverSide& fDriver;
};

class TestProvider final : public UserClientProvider
{
public:
    explicit TestProvider(DriverSide& driver) : fDriver(driver) {}

    IOReturn open(uint32_t type, std::shared_ptr<UserClientConnection>* connection) override
    {
        if (type != kTestType) {
            return kIOReturnUnsupported;
        }
        std::lock_guard lock(fDriver.fLock);
        ++fDriver.fOpens;
        *connection = std::make_shared<TestConnection>(fDriver);
        return kIOReturnSuccess;
    }

private:
    DriverSide& fDriver;
};

bool isMapped(mach_vm_address_t address)
{
    unsigned char resident;
    return mincore(reinterpret_cast<void*>(address), 1, &resident) == 0;
}

class UserClientTest : public testing::Test
{
protected:
    UserClientTest()
    {
        fEntry->setUserClientProvider(std::make_shared<TestProvider>(fDriver));
        fService = IOKitTesting::copyHandle(fEntry);
    }

    ~UserClientTest() override { IOObjectRelease(fService); }

    io_connect_t open()
    {
        io_connect_t connect = 0;
        EXPECT_EQ(IOServiceOpen(fService, mach_task_self(), kTestType, &connect), kIOReturnSuccess);
        return connect;
    }

    mach_vm_address_t map(io_connect_t connect, uint32_t memoryType = kRingType)
    {
        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        EXPECT_EQ(
            IOConnectMapMemory64(connect, memoryType, mach_task_self(), &address, &size, kIOMapAnywhere),
            kIOReturnSuccess);
        EXPECT_EQ(size, kRingSize);
        return address;
    }

    int closes()
    {
        std::lock_guard lock(fDriver.fLock);
        return fDriver.fCloses;
    }

    DriverSide fDriver;
    Services fServices;
    Entry fEntry = fServices.publish(kControlClass, "Control");
    io_service_t fService = 0;
};

TEST_F(UserClientTest, OpenIsRefusedWithoutAProviderOrForATypeTheProviderDoesNotServe)
{
    Entry bare = fServices.publish(kControlClass, "Bare");
    io_service_t bareHandle = IOKitTesting::copyHandle(bare);
    io_connect_t connect = 0;

    EXPECT_EQ(IOServiceOpen(bareHandle, mach_task_self(), kTestType, &connect), kIOReturnUnsupported);
    EXPECT_EQ(IOServiceOpen(fService, mach_task_self(), kAudioType, &connect), kIOReturnUnsupported);
    EXPECT_EQ(connect, 0u);
    fEntry->setUserClientProvider(nullptr);
    EXPECT_EQ(IOServiceOpen(fService, mach_task_self(), kTestType, &connect), kIOReturnUnsupported);
    EXPECT_EQ(fDriver.fOpens, 0);
    IOObjectRelease(bareHandle);
}

struct SizeCase
{
    const char* fName;
    size_t fInputSize;
    size_t fOutputCapacity;
    bool fOutputCount;
};

void PrintTo(const SizeCase& value, std::ostream* out)
{
    *out << value.fName;
}

class StructMethodTest : public UserClientTest, public testing::WithParamInterface<SizeCase>
{};

TEST_P(StructMethodTest, TheBuffersAndSizesReachTheDriverUnchanged)
{
    const SizeCase& sizes = GetParam();
    io_connect_t connect = open();
    std::vector<uint8_t> input(sizes.fInputSize);
    for (size_t index = 0; index < input.size(); ++index) {
        input[index] = uint8_t(index * 7 + 1);
    }
    std::vector<uint8_t> output(sizes.fOutputCapacity + 1, 0xEE);
    size_t outputSize = sizes.fOutputCapacity;

    IOReturn result = IOConnectCallStructMethod(connect, 5, input.data(), input.size(), output.data(),
                                                sizes.fOutputCount ? &outputSize : nullptr);

    EXPECT_EQ(result, kIOReturnSuccess);
    ASSERT_EQ(fDriver.fCalls.size(), 1u);
    EXPECT_EQ(fDriver.fCalls[0].fSelector, 5u);
    EXPECT_EQ(fDriver.fCalls[0].fInput, input);
    EXPECT_EQ(fDriver.fCalls[0].fOutputCapacity, sizes.fOutputCount ? sizes.fOutputCapacity : 0);
    size_t written = sizes.fOutputCount ? std::min(sizes.fInputSize, sizes.fOutputCapacity) : 0;
    if (sizes.fOutputCount) {
        EXPECT_EQ(outputSize, written);
    }
    EXPECT_TRUE(std::equal(output.begin(), output.begin() + written, input.begin()));
    EXPECT_EQ(output[written], 0xEE);
    IOServiceClose(connect);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StructMethodTest,
                         testing::Values(SizeCase{"DeviceInfo", 76, 76, true},
                                         SizeCase{"SetProperty", 8, 4, true},
                                         SizeCase{"Descriptors", 2052, 2052, true},
                                         SizeCase{"NoInput", 0, 8, true}, SizeCase{"NoOutput", 2, 0, true},
                                         SizeCase{"NoOutputCount", 2, 0, false}),
                         testing::PrintToStringParamName());

TEST_F(UserClientTest, TheDriversErrorReachesTheCaller)
{
    io_connect_t connect = open();
    size_t outputSize = 8;
    uint8_t output[8];
    EXPECT_EQ(IOConnectCallStructMethod(connect, 10, nullptr, 0, output, &outputSize), kIOReturnUnsupported);
    IOServiceClose(connect);
}

TEST_F(UserClientTest, TwoMappingsOfOneRingSeeEachOthersBytesAtDifferentAddresses)
{
    io_connect_t connect = open();
    mach_vm_address_t first = map(connect);
    mach_vm_address_t second = map(connect);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_NE(first, reinterpret_cast<mach_vm_address_t>(fDriver.fRing));

    fDriver.fRing[100] = 0x5A;
    reinterpret_cast<uint8_t*>(first)[kRingSize - 1] = 0xA5;

    EXPECT_EQ(reinterpret_cast<uint8_t*>(first)[100], 0x5A);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(second)[100], 0x5A);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(second)[kRingSize - 1], 0xA5);
    EXPECT_EQ(fDriver.fRing[kRingSize - 1], 0xA5);

    EXPECT_EQ(IOConnectUnmapMemory64(connect, kRingType, mach_task_self(), first), kIOReturnSuccess);
    EXPECT_FALSE(isMapped(first));
    EXPECT_TRUE(isMapped(second));
    EXPECT_EQ(IOConnectUnmapMemory64(connect, kRingType, mach_task_self(), first), kIOReturnBadArgument);
    EXPECT_EQ(IOConnectUnmapMemory64(connect, kEmptyType, mach_task_self(), second), kIOReturnBadArgument);

    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);
    EXPECT_FALSE(isMapped(second));
}

TEST_F(UserClientTest, MappingAnEmptyRegionGivesNoAddressAndOtherTypesTheDriversError)
{
    io_connect_t connect = open();
    mach_vm_address_t address = 1;
    mach_vm_size_t size = 1;

    EXPECT_EQ(IOConnectMapMemory64(connect, kEmptyType, mach_task_self(), &address, &size, kIOMapAnywhere),
              kIOReturnSuccess);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(IOConnectMapMemory64(connect, 7, mach_task_self(), &address, &size, kIOMapAnywhere),
              kIOReturnBadArgument);
    EXPECT_EQ(IOConnectMapMemory64(connect, kRingType, mach_task_self(), &address, &size, 0),
              kIOReturnUnsupported);
    IOServiceClose(connect);
}

// A notification record as the driver sends it: 24-byte header, reference, type, length, data.
struct Record
{
    mach_msg_header_t fHeader;
    uint32_t fReference;
    uint32_t fType;
    uint32_t fLength;
    uint8_t fData[4096];
};
static_assert(sizeof(Record) == 4132);

struct Received
{
    std::vector<uint8_t> fBytes;
    CFIndex fSize = 0;
    std::thread::id fThread;

    static void callout(CFMachPortRef, void* message, CFIndex size, void* info)
    {
        auto* self = static_cast<Received*>(info);
        auto* bytes = static_cast<const uint8_t*>(message);
        self->fBytes.assign(bytes, bytes + size);
        self->fSize = size;
        self->fThread = std::this_thread::get_id();
    }
};

TEST_F(UserClientTest, AMessageToTheNotificationPortArrivesOnTheOpenersLoopWithItsBytesAndSize)
{
    Received received;
    CFMachPortContext context{};
    context.info = &received;
    CFMachPortRef port = CFMachPortCreate(nullptr, Received::callout, &context, nullptr);
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(nullptr, port, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
    io_connect_t connect = open();

    ASSERT_EQ(IOConnectSetNotificationPort(connect, 0, CFMachPortGetPort(port), 0x77), kIOReturnSuccess);
    EXPECT_EQ(fDriver.fPort, CFMachPortGetPort(port));
    EXPECT_EQ(fDriver.fReference, 0x77u);
    Record record{};
    std::thread([&] {
        record.fHeader.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0);
        record.fHeader.msgh_size = sizeof record;
        record.fHeader.msgh_remote_port = fDriver.fPort;
        record.fReference = 0x77;
        record.fType = 1;
        record.fLength = 3;
        memcpy(record.fData, "\x01\x02\x03", 3);
        EXPECT_EQ(
            mach_msg(&record.fHeader, MACH_SEND_MSG, sizeof record, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL),
            MACH_MSG_SUCCESS);
    }).join();
    EXPECT_EQ(received.fSize, 0);
    CoreFoundationTesting::runUntilIdle();

    EXPECT_EQ(received.fSize, CFIndex(sizeof(Record)));
    EXPECT_EQ(received.fThread, std::this_thread::get_id());
    ASSERT_EQ(received.fBytes.size(), sizeof(Record));
    EXPECT_EQ(memcmp(received.fBytes.data() + 24, &record.fReference, sizeof(Record) - 24), 0);
    IOServiceClose(connect);
    CFMachPortInvalidate(port);
    CFRelease(source);
    CFRelease(port);
}

TEST_F(UserClientTest, CallsAfterTerminationFailButTheClientsMappingStaysUntilItCloses)
{
    io_connect_t connect = open();
    mach_vm_address_t ring = map(connect);

    fEntry->terminate();
    EXPECT_EQ(closes(), 1);

    size_t outputSize = 4;
    uint8_t output[4];
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    EXPECT_EQ(IOConnectCallStructMethod(connect, 1, "abcd", 4, output, &outputSize), kIOReturnNoDevice);
    EXPECT_EQ(IOConnectMapMemory64(connect, kRingType, mach_task_self(), &address, &size, kIOMapAnywhere),
              kIOReturnNoDevice);
    EXPECT_EQ(IOConnectSetNotificationPort(connect, 0, MACH_PORT_NULL, 0), kIOReturnNoDevice);
    reinterpret_cast<uint8_t*>(ring)[0] = 1;
    EXPECT_EQ(fDriver.fRing[0], 1);
    io_connect_t again = 0;
    EXPECT_EQ(IOServiceOpen(fService, mach_task_self(), kTestType, &again), kIOReturnNoDevice);

    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);
    EXPECT_EQ(closes(), 1);
    EXPECT_FALSE(isMapped(ring));
    EXPECT_EQ(fDriver.fCalls.size(), 0u);
}

TEST_F(UserClientTest, CloseEndsTheConnectionOnceAndAHeldHandleThenFails)
{
    io_connect_t connect = open();
    ASSERT_EQ(IOObjectRetain(connect), kIOReturnSuccess);

    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);
    EXPECT_EQ(closes(), 1);
    size_t outputSize = 0;
    EXPECT_EQ(IOConnectCallStructMethod(connect, 1, nullptr, 0, nullptr, &outputSize), kIOReturnNotOpen);
    EXPECT_EQ(IOServiceClose(connect), kIOReturnSuccess);
    EXPECT_EQ(IOServiceClose(connect), kIOReturnBadArgument);
    EXPECT_EQ(closes(), 1);

    io_connect_t released = open();
    EXPECT_EQ(IOObjectRelease(released), kIOReturnSuccess);
    EXPECT_EQ(closes(), 2);
}

} // namespace
