#include "ReenumeratorTestSupport.h"

#include "Server.h"

#include <DarwinTesting/Eventually.h>
#include <DriverKit/platform/Drivers.h>
#include <IOKitTesting/Services.h>
#include <KorvanInterface/KorvanDevice.h>
#include <SimUSB/Bus.h>

namespace ReenumeratorTesting {

namespace {

uint32_t locationOf(uint8_t port)
{
    return 0x01000000u | uint32_t(port) << 20;
}

// The device nub on `port`, or null.
std::shared_ptr<IOKitPlatform::RegistryEntry> deviceEntry(uint8_t port)
{
    CFMutableDictionaryRef matching = IOServiceMatching("IOUSBHostDevice");
    const uint32_t location = locationOf(port);
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &location);
    CFDictionarySetValue(matching, CFSTR("locationID"), number);
    CFRelease(number);
    io_iterator_t devices = 0;
    if (IOServiceGetMatchingServices(kIOMainPortDefault, matching, &devices) != KERN_SUCCESS) {
        return nullptr;
    }
    const io_object_t device = IOIteratorNext(devices);
    IOObjectRelease(devices);
    if (device == 0) {
        return nullptr;
    }
    auto entry = IOKitTesting::registryEntry(device);
    IOObjectRelease(device);
    return entry;
}

// The first child of `entry` in the service plane, or null.
std::shared_ptr<IOKitPlatform::RegistryEntry>
firstChild(const std::shared_ptr<IOKitPlatform::RegistryEntry>& entry)
{
    const io_object_t handle = IOKitTesting::copyHandle(entry);
    io_iterator_t children = 0;
    std::shared_ptr<IOKitPlatform::RegistryEntry> child;
    if (IORegistryEntryGetChildIterator(handle, kIOServicePlane, &children) == KERN_SUCCESS) {
        if (const io_object_t first = IOIteratorNext(children)) {
            child = IOKitTesting::registryEntry(first);
            IOObjectRelease(first);
        }
        IOObjectRelease(children);
    }
    IOObjectRelease(handle);
    return child;
}

} // namespace

TestBus::TestBus()
{
    DriverKitPlatform::startUSB();
}

TestBus::~TestBus()
{
    SimUSB::Bus::shared().reset();
    SimUSB::Bus::shared().settle();
}

void TestBus::attach(uint8_t port, uint16_t vendor, uint16_t product)
{
    KorvanInterface::DescriptorOptions options(
        product == kPyx ? KorvanInterface::Model::Pyx : KorvanInterface::Model::Wrenlet, vendor);
    options.idProduct = product;
    SimUSB::Bus::shared().attach(port, std::make_shared<KorvanInterface::KorvanDevice>(options));
    settle();
    ASSERT_TRUE(present(port));
}

void TestBus::bindClassDriver(uint8_t port, Depth depth, const std::string& name)
{
    std::shared_ptr<IOKitPlatform::RegistryEntry> parent = deviceEntry(port);
    for (int level = 1; level < int(depth) && parent; ++level) {
        auto child = firstChild(parent);
        if (!child) {
            // Below an interface without children: a filler entry to hang the driver on.
            child = IOKitPlatform::RegistryEntry::create({"IOService"}, "AudioFunction");
            child->attachToParent(parent);
            child->registerService();
        }
        parent = child;
    }
    ASSERT_TRUE(parent) << "no device on port " << int(port);
    auto driver = IOKitPlatform::RegistryEntry::create({name, "IOService"});
    driver->attachToParent(parent);
    driver->registerService();
}

bool TestBus::present(uint8_t port) const
{
    return deviceEntry(port) != nullptr;
}

bool TestBus::bound(uint8_t port) const
{
    const auto device = deviceEntry(port);
    const auto interface = device ? firstChild(device) : nullptr;
    const auto driver = interface ? firstChild(interface) : nullptr;
    return driver && driver->name() == kClassDriver;
}

void TestBus::settle()
{
    SimUSB::Bus::shared().settle();
}

Rebinder::Rebinder(TestBus& bus) : fBus(bus)
{
    SimUSB::Bus::shared().addListener(this);
}

Rebinder::~Rebinder()
{
    SimUSB::Bus::shared().removeListener(this);
}

// The bus's own host, which publishes the nubs, was told first.
void Rebinder::deviceArrived(const std::shared_ptr<SimUSB::HostDevice>& device)
{
    if (!fBus.bound(device->port())) {
        fBus.bindClassDriver(device->port());
    }
}

void WaitForEndedConnections(const PlugInTesting::LogLines& log, int count)
{
    ASSERT_TRUE(DarwinTesting::eventually([&] { return log.count(kConnectionInvalidLine) >= count; }))
        << log.text();
}

ListeningDaemon::ListeningDaemon() : fListener(Server::Listen())
{
    // No client has connected yet, so no event races the change of handler.
    xpc_connection_set_event_handler(fListener, [this](xpc_object_t event) {
        if (xpc_get_type(event) != XPC_TYPE_CONNECTION) {
            Server::HandleListenerEvent(event);
            if (event == XPC_ERROR_CONNECTION_INVALID) {
                Ended();
            }
            return;
        }
        auto* peer = static_cast<xpc_connection_t>(event);
        {
            std::lock_guard lock(fMutex);
            ++fOpen;
        }
        xpc_connection_set_event_handler(peer, [this, peer](xpc_object_t peerEvent) {
            Server::HandlePeerEvent(peer, peerEvent);
            if (peerEvent == XPC_ERROR_CONNECTION_INVALID) {
                Ended();
            }
        });
        xpc_connection_resume(peer);
    });
}

ListeningDaemon::~ListeningDaemon()
{
    xpc_connection_cancel(fListener);
    std::unique_lock lock(fMutex);
    EXPECT_TRUE(fChanged.wait_for(lock, DarwinTesting::kPollLimit, [this] { return fOpen == 0; }))
        << fOpen << " connections still open";
    lock.unlock();
    xpc_release(fListener);
}

void ListeningDaemon::Ended()
{
    std::lock_guard lock(fMutex);
    --fOpen;
    fChanged.notify_all();
}

} // namespace ReenumeratorTesting
