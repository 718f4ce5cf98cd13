#include "TestDevice.h"

#include "LogThread.h"
#include "SA_Host.h"

#include <mutex>

namespace PlugInTesting {

namespace {

// Never destroyed: the plug-in's thread may destroy a device while the process exits.
struct Shared
{
    std::mutex fMutex;
    std::vector<std::string> fEvents;
    std::function<void()> fGetServiceHook;
};

Shared& Shared()
{
    static auto* const sShared = new struct Shared;
    return *sShared;
}

void Record(std::string event)
{
    std::lock_guard<std::mutex> lock(Shared().fMutex);
    Shared().fEvents.push_back(std::move(event));
}

std::string Named(const char* what, AudioObjectID objectID)
{
    return std::string(what) + " " + std::to_string(objectID);
}

} // namespace

std::vector<std::string> DeviceEvents()
{
    std::lock_guard<std::mutex> lock(Shared().fMutex);
    return Shared().fEvents;
}

void SetGetServiceHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(Shared().fMutex);
    Shared().fGetServiceHook = std::move(hook);
}

void ClearDeviceEvents()
{
    std::lock_guard<std::mutex> lock(Shared().fMutex);
    Shared().fEvents.clear();
}

TestDevice::TestDevice(AudioObjectID objectID, const KorvanService& service)
    : SA_Device(objectID, service, nullptr)
{
    Record(Named("create", objectID));
}

TestDevice::~TestDevice()
{
    Record(Named("destroy", fObjectID));
}

void TestDevice::Activate()
{
    SA_Object::Activate();
    fClient.reset(KorvanServiceClient::Create(fService, 'IOIO', this, nullptr));
    const bool opened = fClient && fClient->Open();
    Record(Named(opened ? "activate" : "activate without client", fObjectID));
    Host_DeviceAvailChanged();
}

LogThread& TestDevice::GetLogThread()
{
    // Never destroyed: devices may go while the process exits.
    static auto* const sLog = new LogThread([](const char*) {});
    return *sLog;
}

void TestDevice::Deactivate()
{
    Record(Named("deactivate", fObjectID));
    fClient.reset();
    SA_Object::Deactivate();
}

const KorvanService& TestDevice::GetService() const
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(Shared().fMutex);
        hook = Shared().fGetServiceHook;
    }
    if (hook) {
        hook();
    }
    return fService;
}

bool TestDevice::IsClientOpen() const
{
    return fClient && fClient->IsOpen();
}

OSStatus TestDevice::StartIO(UInt32 clientID)
{
    Record(Named("StartIO", fObjectID) + " " + std::to_string(clientID));
    return 0;
}

OSStatus TestDevice::StopIO(UInt32 clientID)
{
    Record(Named("StopIO", fObjectID) + " " + std::to_string(clientID));
    return 0;
}

void TestDevice::GetZeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed)
{
    sampleTime = 0;
    hostTime = 0;
    seed = 1;
}

void TestDevice::DoIOOperation(AudioObjectID streamID, UInt32 operationID, UInt32 ioBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo&, void*)
{
    Record(Named("DoIOOperation", fObjectID) + " " + std::to_string(streamID) + " " +
           std::to_string(operationID) + " " + std::to_string(ioBufferFrameSize));
}

void TestDevice::PerformConfigChange(UInt64 action, void*)
{
    Record(Named("PerformConfigChange", fObjectID) + " " + std::to_string(action));
}

void TestDevice::AbortConfigChange(UInt64 action, void*)
{
    Record(Named("AbortConfigChange", fObjectID) + " " + std::to_string(action));
}

SA_Device* TestDevice::Create(AudioObjectID objectID, const KorvanService& service, WorkLoop*)
{
    if (service.GetBusType() != KorvanService::kBusTypeUSB) {
        return nullptr;
    }
    return new TestDevice(objectID, service);
}

} // namespace PlugInTesting
