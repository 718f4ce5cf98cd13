#pragma once

// Finds the devices of a matching list through IOKit's publish and terminate notifications on the
// USB thread. Publishes are debounced: a device is opened 1000 ms after the last publish callback
// still pending, and every device present by then is opened in that one drain.

#include <USBDeviceImpl.h>
#include <USBMatchingInfo.h>

#include <RunLoopDispatcher.h>
#include <WrappedLambda.h>

#include <IOKit/IOKitLib.h>

#include <list>
#include <memory>
#include <vector>

class USBDiscoveryMac
{
public:
    class Client
    {
    public:
        virtual std::shared_ptr<USBDevice> DeviceConnected(unsigned int service) = 0;
        virtual void DeviceOpened(std::shared_ptr<USBDevice> device) = 0;
        virtual void DeviceRemoved(std::shared_ptr<USBDevice> device) = 0;

    protected:
        ~Client() = default;
    };

    struct MatchIterator
    {
        USBDiscoveryMac* owner = nullptr;
        USBMatchingInfo info;
        io_iterator_t iterator = 0;
        int32_t pending = 0;
    };

    // Must run on the USB thread; matching starts at once.
    USBDiscoveryMac(Client& client, const std::vector<USBMatchingInfo>& matching);
    ~USBDiscoveryMac();
    USBDiscoveryMac(const USBDiscoveryMac&) = delete;
    USBDiscoveryMac& operator=(const USBDiscoveryMac&) = delete;

private:
    using Dispatcher = vork::RunLoopDispatcher<vork::wrapped_lambda<void(), 128, 8>, 100>;

    static void _PublishCallback(void* refCon, io_iterator_t);
    static void _TerminatedCallback(void* refCon, io_iterator_t);
    void PublishCallback(MatchIterator* record);
    void DelayedPublishCallback(MatchIterator* record);
    void TerminatedCallback(MatchIterator* record);
    void MaybeRegisterDevice(io_service_t service);

    Client& fClient;
    std::unique_ptr<Dispatcher> fDispatcher;
    std::list<MatchIterator> fPublished;
    std::list<MatchIterator> fTerminated;
    IONotificationPortRef fPort = nullptr;
    std::vector<std::shared_ptr<USBDevice>> fOpened;
    std::vector<std::shared_ptr<USBDevice>> fOpening;
};
