#pragma once

// The audio server's side of a loaded plug-in: the host interface it hands to Initialize (property
// changes, storage, configuration-change requests), the property calls it makes, the device list
// it keeps, and the IO of its clients.

#include "HostStorage.h"
#include "IORunner.h"

#include <CoreAudio/AudioServerPlugIn.h>
#include <dispatch/dispatch.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct HostPropertiesChange
{
    AudioObjectID fObjectID;
    std::vector<AudioObjectPropertyAddress> fAddresses;
    std::thread::id fThread;
};

// Told on the thread that starts a client's cycles, before each start: the first, and each one after
// a configuration change, with the configuration the cycles will run in.
using IOStartObserver = std::function<void(const IOConfiguration& configuration)>;

struct HostConfigurationRequest
{
    AudioObjectID fDeviceID;
    UInt64 fAction;
    void* fInfo;
};

class AudioServerHost
{
public:
    // What the host does with a configuration-change request once its clients' IO has stopped.
    enum class ConfigurationMode
    {
        Perform,
        Abort,
        Hold,
    };

    explicit AudioServerHost(AudioServerPlugInDriverRef driver);
    // Stops every client's IO.
    ~AudioServerHost();
    AudioServerHost(const AudioServerHost&) = delete;
    AudioServerHost& operator=(const AudioServerHost&) = delete;

    AudioServerPlugInHostRef Ref() const { return &fInterface; }
    AudioServerPlugInDriverRef Driver() const { return fDriver; }
    OSStatus Initialize();

    // Called from any thread with each change, after it is recorded.
    void SetPropertiesChangedObserver(std::function<void(const HostPropertiesChange&)> observer);
    std::vector<HostPropertiesChange> PropertiesChanges() const;

    // The plug-in object's device list, as last read.
    std::vector<AudioObjectID> DeviceList() const;
    // Waits (real time, 30 s at most) until the list satisfies `predicate`.
    bool WaitForDeviceList(const std::function<bool(const std::vector<AudioObjectID>&)>& predicate) const;

    // Property calls as a client process makes them (the host's own by default).
    void SetClientProcess(pid_t pid) { fClientPID = pid; }
    OSStatus GetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                             UInt32 inDataSize, UInt32& outDataSize, void* data) const;
    OSStatus GetUInt32(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                       UInt32& value) const;
    OSStatus GetString(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                       std::string& value) const;
    OSStatus GetIDs(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                    std::vector<AudioObjectID>& ids) const;

    // A client's IO on a device, between AddDeviceClient and RemoveDeviceClient.
    OSStatus StartIO(AudioObjectID deviceID, UInt32 clientID, UInt32 bufferFrames, IOCallback callback,
                     IOCycleObserver observer = {}, IOStartObserver startObserver = {});
    void StopIO(AudioObjectID deviceID, UInt32 clientID);
    // The running client's cycles (null when it does not run).
    const IORunner* Runner(AudioObjectID deviceID, UInt32 clientID) const;

    // Configuration changes are served on the host's own queue.
    void SetConfigurationMode(ConfigurationMode mode);
    std::vector<HostConfigurationRequest> ConfigurationRequests() const;
    // Performs or aborts the held requests.
    void ReleaseHeldRequests(ConfigurationMode mode);
    // Waits until the host's queue has served what was asked of it so far.
    void Drain() const;

    HostStorage& Storage() { return fStorage; }

private:
    struct Client
    {
        UInt32 fBufferFrames;
        IOCallback fCallback;
        IOCycleObserver fObserver;
        IOStartObserver fStartObserver;
        std::unique_ptr<IORunner> fRunner;
    };
    using ClientKey = std::pair<AudioObjectID, UInt32>;

    static AudioServerHost& From(AudioServerPlugInHostRef host);
    static OSStatus PropertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID, UInt32 count,
                                      const AudioObjectPropertyAddress* addresses);
    static OSStatus CopyFromStorage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef* data);
    static OSStatus WriteToStorage(AudioServerPlugInHostRef host, CFStringRef key, CFPropertyListRef data);
    static OSStatus DeleteFromStorage(AudioServerPlugInHostRef host, CFStringRef key);
    static OSStatus RequestDeviceConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID deviceID,
                                                     UInt64 action, void* info);

    void ReadDeviceList();
    void ServeConfigurationRequest(const HostConfigurationRequest& request);
    void FinishConfigurationChange(const HostConfigurationRequest& request, ConfigurationMode mode);
    OSStatus ReadConfiguration(AudioObjectID deviceID, UInt32 clientID, UInt32 bufferFrames,
                               IOConfiguration& configuration) const;
    OSStatus StartRunner(AudioObjectID deviceID, UInt32 clientID, Client& client);

    // First, so that the host reference leads back to this object.
    AudioServerPlugInHostInterface fInterface;
    AudioServerPlugInDriverRef fDriver;
    pid_t fClientPID;
    HostStorage fStorage;
    dispatch_queue_t fQueue;

    mutable std::mutex fMutex;
    mutable std::condition_variable fChanged;
    std::vector<HostPropertiesChange> fChanges;
    std::function<void(const HostPropertiesChange&)> fObserver;
    std::vector<AudioObjectID> fDevices;
    std::vector<HostConfigurationRequest> fRequests;
    std::vector<HostConfigurationRequest> fHeld;
    ConfigurationMode fMode = ConfigurationMode::Perform;

    // The clients' IO; changed on the caller's thread and on the host's queue, one at a time.
    mutable std::mutex fClientsMutex;
    std::map<ClientKey, Client> fClients;
};
