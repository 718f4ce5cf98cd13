#pragma once

// The plug-in object (id 1): its list of devices, its own work-loop thread, on which driver
// services are matched and devices created and removed, and the plug-in's properties.

#include "CAMutex.h"
#include "KorvanServicePnP.h"
#include "SA_Object.h"
#include "WorkLoopThread.h"

#include <memory>
#include <vector>

class KorvanService;
class ResetUACDevicesTimer;
class SA_Device;
class WorkLoop;

class SA_PlugIn : public SA_Object, public WorkLoopThread, public KorvanServicePnP
{
public:
    // Makes the device for a driver service, or null for a service it does not serve.
    using DeviceFactory = SA_Device* (*)(AudioObjectID objectID, const KorvanService& service,
                                         WorkLoop* workLoop);

    explicit SA_PlugIn(DeviceFactory deviceFactory);
    ~SA_PlugIn() override;

    // Starts the work-loop thread, once.
    void Activate() override;
    // Stops the work-loop thread.
    void Deactivate() override;

    bool HasProperty(AudioObjectID objectID, pid_t clientPID,
                     const AudioObjectPropertyAddress& address) override;
    bool IsPropertySettable(AudioObjectID objectID, pid_t clientPID,
                            const AudioObjectPropertyAddress& address) override;
    UInt32 GetPropertyDataSize(AudioObjectID objectID, pid_t clientPID,
                               const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                               const void* qualifier) override;
    void GetPropertyData(AudioObjectID objectID, pid_t clientPID, const AudioObjectPropertyAddress& address,
                         UInt32 qualifierSize, const void* qualifier, UInt32 inDataSize, UInt32& outDataSize,
                         void* outData) override;
    void SetPropertyData(AudioObjectID objectID, pid_t clientPID, const AudioObjectPropertyAddress& address,
                         UInt32 qualifierSize, const void* qualifier, UInt32 inDataSize,
                         const void* inData) override;

    void WorkLoopThreadStarted() override;
    void WorkLoopThreadStopped() override;

    void ServiceRegistered(const KorvanService& service) override;
    void ServiceTerminated(const KorvanService& service) override;

    // The device of the service, with a reference the caller releases; null when none.
    SA_Device* GetDeviceByService(const KorvanService& service);
    void RemoveDevice(SA_Device* device);

private:
    const DeviceFactory fDeviceFactory;
    std::vector<SA_Device*> fDevices;
    CAMutex fMutex{"SA_PlugIn"};
    std::unique_ptr<ResetUACDevicesTimer> fResetTimer;
};

// The one plug-in object of the process, defined beside the device library each module links.
extern SA_PlugIn gInstance;
