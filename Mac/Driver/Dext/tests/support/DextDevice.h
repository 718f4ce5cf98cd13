#pragma once

// The driver on a simulated Korvan interface: the driver's classes and personalities registered once
// per process, a model attached to the bus, and the control service found from user space.

#include <KorvanDeviceIO.h>
#include <KorvanInterface/KorvanDevice.h>
#include <KorvanInterface/Variants.h>

#include <IOKit/IOKitLib.h>
#include <SimUSB/Bus.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace DextTesting {

constexpr uint16_t kVendor = 0x3A1C;

void registerDextDrivers();

// A Wrenlet at 48 kHz: 20 channels in on interface 2, 22 out on interface 1, 4-byte subslots.
inline constexpr KorvanDeviceIO::USBAudioRunStateRequest kWrenletStart{1, 2, 1, 80, 1, 1, 88};
inline constexpr KorvanDeviceIO::USBAudioRunStateRequest kStop{};

// The first live service of `className`, or 0 after `seconds`; the caller releases it.
io_service_t waitForService(const char* className, double seconds = 10);
// Whether no service of `className` is left before `seconds` pass.
bool waitForNoService(const char* className, double seconds = 10);

// A string property of a registry entry, or "" when absent.
std::string stringProperty(io_registry_entry_t entry, const char* key);

class DextDeviceTest : public testing::Test
{
protected:
    void TearDown() override;

    // Attaches `options` and waits for the control service; fails the test when it does not come.
    void attach(const KorvanInterface::DescriptorOptions& options, uint8_t headerVersion = 0);
    // An open connection of `type` to the control service.
    io_connect_t open(uint32_t type = 0x494F494F);

    IOReturn call(uint32_t selector, const void* input, size_t inputSize, void* output, size_t* outputSize);
    // SetStreamingHeadersEnable of `version` on `on` (the fixture's connection when 0).
    IOReturn enableHeaders(uint8_t version, io_connect_t on = 0);
    // SetUSBAudioRunState on `on` (the fixture's connection when 0).
    IOReturn runState(const KorvanDeviceIO::USBAudioRunStateRequest& request, io_connect_t on = 0);
    // Starts streaming as a client does (see DarwinTesting::startedWithin), enabling streaming headers
    // of `headerVersion` (unless 0) before each try: a refused start ends them.
    IOReturn startStreaming(const KorvanDeviceIO::USBAudioRunStateRequest& request, io_connect_t on = 0,
                            uint8_t headerVersion = 0);
    // Input blocks `first` to `last` of `ring` count exactly the frames the device sent in them.
    void expectInputCountsMatchDevice(const KorvanDeviceIO::USBRequestBlock* ring, size_t first, size_t last,
                                      uint32_t bytesPerFrame) const;

    static constexpr uint8_t kPort = 3;
    std::shared_ptr<KorvanInterface::KorvanDevice> model;
    io_service_t service = 0;
    io_connect_t connect = 0;
};

} // namespace DextTesting
