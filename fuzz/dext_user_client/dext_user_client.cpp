// The user client's method table with random selectors, client types, argument forms and sizes, with
// and without a completion, against a control service whose hardware is the recording provider:
// never a crash, never a write outside the given views, only the documented codes, and never a
// successful completion of a notification registration, since no record is ever sent here.
//
// Input: selector, client (odd: the test client), input form, input size (u16), output form, output
// size (u16), completion (odd: one), then the input bytes. Forms: 0 none, 1 data object,
// 2 descriptor, 3 scalars.

#include "DirectConnection.h"
#include "RecordingProvider.h"

#include <DriverKit/IOBufferMemoryDescriptor.h>
#include <DriverKitTesting/DriverKitTesting.h>
#include <KorvanInterface/KorvanDevice.h>
#include <SimUSB/Bus.h>

#include <IOKit/IOKitLib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr size_t kLargest = 8192;
constexpr uint8_t kPort = 5;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

struct Session
{
    std::shared_ptr<KorvanInterface::KorvanDevice> model;
    std::shared_ptr<DriverKitPlatform::UserClientConnection> audio;
    std::shared_ptr<DriverKitPlatform::UserClientConnection> test;
};

Session& session()
{
    static Session* instance = [] {
        require(DriverKitTesting::loadDriverBundle(DEXT_BUNDLE));
        DextTesting::keepConnections();
        DextTesting::registerRecordingControl();
        auto* opened = new Session;
        opened->model = std::make_shared<KorvanInterface::KorvanDevice>(KorvanInterface::DescriptorOptions(
            KorvanInterface::Model::Wrenlet, DextTesting::kRecordingVendor));
        SimUSB::Bus::shared().attach(kPort, opened->model);
        io_service_t service = 0;
        for (int round = 0; round < 5000 && service == 0; ++round) {
            io_iterator_t iterator = 0;
            IOServiceGetMatchingServices(kIOMainPortDefault, IOServiceMatching("DextRecordingControl"),
                                         &iterator);
            service = IOIteratorNext(iterator);
            IOObjectRelease(iterator);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        require(service != 0);
        io_connect_t connect = 0;
        require(IOServiceOpen(service, mach_task_self(), 0x494F494F, &connect) == kIOReturnSuccess);
        opened->audio = DextTesting::lastConnection();
        require(IOServiceOpen(service, mach_task_self(), 0x54455354, &connect) == kIOReturnSuccess);
        opened->test = DextTesting::lastConnection();
        return opened;
    }();
    return *instance;
}

// One argument in its form; a descriptor or scalars are checked for writes past their end.
struct View
{
    View(uint8_t form, size_t size, const uint8_t* bytes) : fForm(form % 4), fSize(size)
    {
        fGuarded.assign(size + 64, 0xA5);
        if (bytes != nullptr && size > 0) {
            std::memcpy(fGuarded.data(), bytes, size);
        }
        if (fForm == 1) {
            fData.reset(bytes != nullptr ? OSData::withBytes(fGuarded.data(), size) : OSData::withCapacity(0),
                        OSNoRetain);
        } else if (fForm == 2 && size > 0) {
            fDescriptor.reset(IOMemoryDescriptor::wrap(fGuarded.data(), size, kIOMemoryDirectionInOut),
                              OSNoRetain);
        } else if (fForm == 3) {
            fScalars = (size + 7) / 8;
        }
    }

    void checkGuard() const
    {
        for (size_t i = fSize; i < fGuarded.size(); ++i) {
            require(fGuarded[i] == 0xA5);
        }
    }

    uint8_t fForm;
    size_t fSize;
    size_t fScalars = 0;
    std::vector<uint8_t> fGuarded;
    OSSharedPtr<OSData> fData;
    OSSharedPtr<IOMemoryDescriptor> fDescriptor;
};

bool documented(IOReturn result)
{
    switch (static_cast<uint32_t>(result)) {
    case kIOReturnSuccess:
    case 0xE00002BC: // error
    case 0xE00002C2: // bad argument
    case 0xE00002C7: // unsupported
    case 0xE00002D5: // busy
    case 0xE00002D7: // offline
    case 0xE00002D8: // not ready
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9) {
        return 0;
    }
    Session& s = session();
    const uint64_t selector = data[0] % 16;
    IOUserClient* client = ((data[1] & 1) ? s.test : s.audio)->client();
    const size_t inputSize = std::min<size_t>(data[3] | data[4] << 8, kLargest);
    const size_t outputSize = std::min<size_t>(data[6] | data[7] << 8, kLargest);
    std::vector<uint8_t> inputBytes(inputSize, 0);
    if (inputSize > 0) {
        std::memcpy(inputBytes.data(), data + 9, std::min(inputSize, size - 9));
    }

    View input(data[2], inputSize, inputBytes.data());
    View output(data[5], outputSize, nullptr);
    IOUserClientMethodArguments arguments{};
    arguments.selector = selector;
    arguments.structureInput = input.fData.get();
    arguments.structureInputDescriptor = input.fDescriptor.get();
    std::vector<uint64_t> scalarInput(input.fScalars, 0);
    if (input.fForm == 3 && inputSize > 0) {
        std::memcpy(scalarInput.data(), inputBytes.data(), inputSize);
        arguments.scalarInput = scalarInput.data();
        arguments.scalarInputCount = uint32_t(scalarInput.size());
    }
    arguments.structureOutput = output.fData.get();
    arguments.structureOutputMaximumSize = output.fForm == 1 ? outputSize : 0;
    arguments.structureOutputDescriptor = output.fDescriptor.get();
    std::vector<uint64_t> scalarOutput(output.fScalars + 1, 0x5A5A5A5A5A5A5A5Aull);
    if (output.fForm == 3) {
        arguments.scalarOutput = scalarOutput.data();
        arguments.scalarOutputCount = uint32_t(output.fScalars);
    }
    DextTesting::Completions completions;
    if (data[8] & 1) {
        arguments.completion = completions.action();
    }

    const IOReturn result = client->ExternalMethod(selector, &arguments, nullptr, nullptr, nullptr);

    require(documented(result));
    input.checkGuard();
    output.checkGuard();
    require(scalarOutput.back() == 0x5A5A5A5A5A5A5A5Aull);
    for (IOReturn delivered : completions.settled()) {
        require(selector != 3 || delivered != kIOReturnSuccess);
    }
    return 0;
}
