#include "KorvanServiceClient.h"

#include "Log.h"
#include "USBServiceClient.h"

#include <dispatch/dispatch.h>
#include <os/log.h>

#include <utility>

struct KorvanServiceClient::PowerRecord
{
    // A port and connection still held here outlived a failed deregistration. The registration
    // still names the client: without its port no callback can reach a client that may go next.
    ~PowerRecord()
    {
        if (fPort != nullptr) {
            IONotificationPortDestroy(fPort);
        }
        if (fConnection != 0) {
            IOServiceClose(fConnection);
        }
    }

    PowerCallback fCallback = nullptr;
    void* fUser = nullptr;
    IONotificationPortRef fPort = nullptr;
    io_object_t fNotifier = 0;
    io_connect_t fConnection = 0;
};

KorvanServiceClient* KorvanServiceClient::Create(const KorvanService& service, UInt32 clientType, void* user,
                                                 NotificationCallback callback)
{
    if (service.GetBusType() != KorvanService::kBusTypeUSB) {
        return nullptr;
    }
    return new USBServiceClient(service, clientType, user, callback);
}

KorvanServiceClient::KorvanServiceClient() = default;

KorvanServiceClient::~KorvanServiceClient()
{
    unregisterPowerStateChangeNotification();
}

void KorvanServiceClient::registerPowerStateChangeNotification(PowerCallback callback, void* user)
{
    os_log(OS_LOG_DEFAULT, "%s", "registerPowerStateChangeNotification");
    // A registration left behind would call back into whatever its user pointer named.
    disablePowerNotifications();
    auto record = std::make_unique<PowerRecord>();
    record->fCallback = callback;
    record->fUser = user;
    ReplacePowerRecord(std::move(record));
}

void KorvanServiceClient::enablePowerNotifications()
{
    std::lock_guard<std::recursive_mutex> lock(fMutex);
    if (fPowerRecord && fPowerRecord->fConnection == 0) {
        RegisterForSystemPower();
    }
}

void KorvanServiceClient::ReplacePowerRecord(std::unique_ptr<PowerRecord> record)
{
    {
        std::lock_guard<std::recursive_mutex> lock(fMutex);
        fPowerRecord.swap(record);
        if (fPowerRecord) {
            RegisterForSystemPower();
        }
    }
    // The previous record goes outside the mutex: destroying a port it still holds waits for a
    // callback in progress, which takes the mutex.
}

void KorvanServiceClient::RegisterForSystemPower()
{
    PowerRecord& record = *fPowerRecord;
    record.fConnection =
        IORegisterForSystemPower(this, &record.fPort, ioPowerNotificationCallback, &record.fNotifier);
    if (record.fConnection != 0) {
        IONotificationPortSetDispatchQueue(record.fPort, dispatch_get_main_queue());
    }
}

void KorvanServiceClient::disablePowerNotifications()
{
    IONotificationPortRef port = nullptr;
    io_connect_t connection = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(fMutex);
        if (!fPowerRecord || fPowerRecord->fNotifier == 0 || fPowerRecord->fPort == nullptr ||
            fPowerRecord->fConnection == 0) {
            return;
        }
        const IOReturn result = IODeregisterForSystemPower(&fPowerRecord->fNotifier);
        fPowerRecord->fNotifier = 0;
        // Still registered: the port and connection stay, so sleep queries are still answered.
        if (result != kIOReturnSuccess) {
            return;
        }
        port = std::exchange(fPowerRecord->fPort, nullptr);
        connection = std::exchange(fPowerRecord->fConnection, 0);
    }
    // Outside the mutex: destroying the port waits for a callback in progress, which takes it.
    IONotificationPortDestroy(port);
    IOServiceClose(connection);
}

void KorvanServiceClient::unregisterPowerStateChangeNotification()
{
    os_log(OS_LOG_DEFAULT, "%s", "unregisterPowerStateChangeNotification");
    disablePowerNotifications();
    ReplacePowerRecord(nullptr);
}

void KorvanServiceClient::ioPowerNotificationCallback(void* refcon, io_service_t, uint32_t messageType,
                                                      void* argument)
{
    if (refcon == nullptr) {
        return;
    }
    TIDE_LOG(Log::Info, "%s - messageType: %u", "powerNotificationCallback", messageType);
    auto* client = static_cast<KorvanServiceClient*>(refcon);
    PowerCallback callback = nullptr;
    void* user = nullptr;
    io_connect_t connection = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(client->fMutex);
        const PowerRecord* record = client->fPowerRecord.get();
        if (record == nullptr || record->fConnection == 0) {
            return;
        }
        callback = record->fCallback;
        user = record->fUser;
        connection = record->fConnection;
    }
    // The user's callback runs without the mutex: it takes its own locks, which are held around
    // calls into this client elsewhere. The connection stays open meanwhile, since closing it waits
    // for this callback to end.
    const auto notificationID = reinterpret_cast<intptr_t>(argument);
    switch (messageType) {
    case kIOMessageCanSystemSleep:
        IOAllowPowerChange(connection, notificationID);
        break;
    case kIOMessageSystemWillSleep:
        if (callback != nullptr) {
            callback(user, kSystemWillSleep);
        }
        IOAllowPowerChange(connection, notificationID);
        break;
    case kIOMessageSystemHasPoweredOn:
        if (callback != nullptr) {
            callback(user, kSystemHasPoweredOn);
        }
        break;
    default:
        break;
    }
}
