#pragma once

// What the daemon's tests share: interfaces on the process's simulated bus, bound to a stand-in of
// the system's class driver, and the daemon listening in process with its Log lines collected.

#include "KorvanDeviceIdentities.h"
#include "LogLines.h"

#include <IOKit/IOKitLib.h>
#include <IOKit/platform/Registry.h>
#include <IOKitTesting/USBDevices.h>
#include <SimUSB/Bus.h>
#include <xpc/xpc.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ReenumeratorTesting {

constexpr uint16_t kVendor = KorvanDeviceIdentities::kVendorID;
constexpr uint16_t kWrenlet = KorvanDeviceIdentities::kWrenletProductID;
constexpr uint16_t kPyx = KorvanDeviceIdentities::kPyxProductID;
constexpr const char* kClassDriver = "AppleUSBAudioDevice";
constexpr const char* kConnectionInvalidLine = " - xpc_error (Connection invalid)";

// Where a class-driver entry is attached, counted from the device: 1 directly under it, 2 under
// one of its interfaces (where the system's driver sits), 3 under a child of an interface.
enum class Depth
{
    Child = 1,
    Grandchild = 2,
    GreatGrandchild = 3,
};

// The interfaces of one test. Everything on the bus is unplugged when it goes.
class TestBus
{
public:
    TestBus();
    ~TestBus();
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    // Plugs in an interface of that identity; returns once its nubs are in the registry.
    void attach(uint8_t port, uint16_t vendor, uint16_t product);
    // Attaches a class-driver entry to the device on `port` (its first interface for a grandchild).
    void bindClassDriver(uint8_t port, Depth depth = Depth::Grandchild,
                         const std::string& name = kClassDriver);
    // Whether the device on `port` is in the registry, and whether a class driver sits on it.
    bool present(uint8_t port) const;
    bool bound(uint8_t port) const;
    // Returns once the bus has carried out everything due by now.
    void settle();

    IOKitTesting::USBDeviceScript& script() { return fScript; }

private:
    IOKitTesting::USBDeviceScript fScript;
};

// Binds the class-driver stand-in again to each device that comes back while it exists, as the
// system's driver would take it.
class Rebinder : public SimUSB::HostListener
{
public:
    explicit Rebinder(TestBus& bus);
    ~Rebinder() override;
    Rebinder(const Rebinder&) = delete;
    Rebinder& operator=(const Rebinder&) = delete;

    void deviceArrived(const std::shared_ptr<SimUSB::HostDevice>& device) override;
    void deviceLeft(const std::shared_ptr<SimUSB::HostDevice>&) override {}

private:
    TestBus& fBus;
};

// Waits until `count` connections of the daemon (peers, the listener) have logged their last event.
void WaitForEndedConnections(const PlugInTesting::LogLines& log, int count);

// The daemon's listener from Server::Listen. Each peer it is handed goes to the daemon's peer
// handler as Server::HandleListenerEvent would send it, so that the end of its last event is seen
// here. Going, it cancels the listener and waits until every peer and the listener have had their
// last event, so that no handler is left running.
class ListeningDaemon
{
public:
    ListeningDaemon();
    ~ListeningDaemon();
    ListeningDaemon(const ListeningDaemon&) = delete;
    ListeningDaemon& operator=(const ListeningDaemon&) = delete;

private:
    void Ended();

    xpc_connection_t fListener;
    std::mutex fMutex;
    std::condition_variable fChanged;
    int fOpen = 1;
};

// The daemon in process: Log lines, and the listener from Listen until the test ends.
class DaemonTest : public testing::Test
{
protected:
    void TearDown() override { fDaemon.reset(); }

    void Listen() { fDaemon.emplace(); }
    int LineCount(const std::string& piece) const { return fLog.count(piece); }

    PlugInTesting::LogLines fLog;
    TestBus fBus;
    std::optional<ListeningDaemon> fDaemon;
};

} // namespace ReenumeratorTesting
