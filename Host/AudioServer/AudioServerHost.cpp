#include "AudioServerHost.h"

#include <algorithm>
#include <chrono>
#include <unistd.h>

namespace {

constexpr AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector,
                                             AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
{
    return {selector, scope, kAudioObjectPropertyElementMain};
}

bool NamesDeviceList(const AudioObjectPropertyAddress& address)
{
    return address.mSelector == kAudioPlugInPropertyDeviceList;
}

AudioServerPlugInClientInfo ClientInfo(UInt32 clientID, pid_t pid)
{
    return {clientID, pid, true, nullptr};
}

} // namespace

AudioServerHost::AudioServerHost(AudioServerPlugInDriverRef driver)
    : fInterface{PropertiesChanged, CopyFromStorage, WriteToStorage, DeleteFromStorage,
                 RequestDeviceConfigurationChange},
      fDriver(driver), fClientPID(getpid()),
      fQueue(dispatch_queue_create("AudioServerHost configuration", DISPATCH_QUEUE_SERIAL))
{}

AudioServerHost::~AudioServerHost()
{
    Drain();
    {
        std::lock_guard<std::mutex> lock(fClientsMutex);
        for (auto& [key, client] : fClients) {
            client.fRunner.reset();
            const AudioServerPlugInClientInfo info = ClientInfo(key.second, fClientPID);
            (**fDriver).RemoveDeviceClient(fDriver, key.first, &info);
        }
        fClients.clear();
    }
    Drain();
    dispatch_release(fQueue);
}

OSStatus AudioServerHost::Initialize()
{
    const OSStatus status = (**fDriver).Initialize(fDriver, Ref());
    if (status == kAudioHardwareNoError) {
        ReadDeviceList();
    }
    return status;
}

AudioServerHost& AudioServerHost::From(AudioServerPlugInHostRef host)
{
    return *reinterpret_cast<AudioServerHost*>(const_cast<AudioServerPlugInHostInterface*>(host));
}

OSStatus AudioServerHost::PropertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID,
                                            UInt32 count, const AudioObjectPropertyAddress* addresses)
{
    if (addresses == nullptr && count != 0) {
        return kAudioHardwareIllegalOperationError;
    }
    AudioServerHost& self = From(host);
    HostPropertiesChange change = {objectID, {addresses, addresses + count}, std::this_thread::get_id()};
    std::function<void(const HostPropertiesChange&)> observer;
    {
        std::lock_guard<std::mutex> lock(self.fMutex);
        self.fChanges.push_back(change);
        observer = self.fObserver;
        self.fChanged.notify_all();
    }
    if (observer) {
        observer(change);
    }
    if (objectID == kAudioObjectPlugInObject &&
        std::any_of(change.fAddresses.begin(), change.fAddresses.end(), NamesDeviceList)) {
        // Read on the host's queue: the plug-in's thread that told us may hold its own locks.
        dispatch_async(self.fQueue, [&self] { self.ReadDeviceList(); });
    }
    return kAudioHardwareNoError;
}

OSStatus AudioServerHost::CopyFromStorage(AudioServerPlugInHostRef host, CFStringRef key,
                                          CFPropertyListRef* data)
{
    return From(host).fStorage.Copy(key, data);
}

OSStatus AudioServerHost::WriteToStorage(AudioServerPlugInHostRef host, CFStringRef key,
                                         CFPropertyListRef data)
{
    return From(host).fStorage.Write(key, data);
}

OSStatus AudioServerHost::DeleteFromStorage(AudioServerPlugInHostRef host, CFStringRef key)
{
    return From(host).fStorage.Delete(key);
}

OSStatus AudioServerHost::RequestDeviceConfigurationChange(AudioServerPlugInHostRef host,
                                                           AudioObjectID deviceID, UInt64 action, void* info)
{
    AudioServerHost& self = From(host);
    const HostConfigurationRequest request = {deviceID, action, info};
    {
        std::lock_guard<std::mutex> lock(self.fMutex);
        self.fRequests.push_back(request);
    }
    dispatch_async(self.fQueue, [&self, request] { self.ServeConfigurationRequest(request); });
    return kAudioHardwareNoError;
}

void AudioServerHost::SetPropertiesChangedObserver(std::function<void(const HostPropertiesChange&)> observer)
{
    std::lock_guard<std::mutex> lock(fMutex);
    fObserver = std::move(observer);
}

std::vector<HostPropertiesChange> AudioServerHost::PropertiesChanges() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fChanges;
}

std::vector<AudioObjectID> AudioServerHost::DeviceList() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fDevices;
}

bool AudioServerHost::WaitForDeviceList(
    const std::function<bool(const std::vector<AudioObjectID>&)>& predicate) const
{
    std::unique_lock<std::mutex> lock(fMutex);
    return fChanged.wait_for(lock, std::chrono::seconds(30), [&] { return predicate(fDevices); });
}

void AudioServerHost::ReadDeviceList()
{
    std::vector<AudioObjectID> devices;
    GetIDs(kAudioObjectPlugInObject, Address(kAudioPlugInPropertyDeviceList), devices);
    std::lock_guard<std::mutex> lock(fMutex);
    fDevices = std::move(devices);
    fChanged.notify_all();
}

OSStatus AudioServerHost::GetPropertyData(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                          UInt32 inDataSize, UInt32& outDataSize, void* data) const
{
    return (**fDriver).GetPropertyData(fDriver, objectID, fClientPID, &address, 0, nullptr, inDataSize,
                                       &outDataSize, data);
}

OSStatus AudioServerHost::GetUInt32(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                    UInt32& value) const
{
    UInt32 size = 0;
    return GetPropertyData(objectID, address, sizeof(value), size, &value);
}

OSStatus AudioServerHost::GetString(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                    std::string& value) const
{
    CFStringRef string = nullptr;
    UInt32 size = 0;
    const OSStatus status = GetPropertyData(objectID, address, sizeof(string), size, &string);
    if (status != kAudioHardwareNoError || string == nullptr) {
        return status;
    }
    char buffer[1024] = {};
    CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8);
    value = buffer;
    CFRelease(string);
    return status;
}

OSStatus AudioServerHost::GetIDs(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                 std::vector<AudioObjectID>& ids) const
{
    UInt32 size = 0;
    OSStatus status =
        (**fDriver).GetPropertyDataSize(fDriver, objectID, fClientPID, &address, 0, nullptr, &size);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    ids.assign(size / sizeof(AudioObjectID), 0);
    status = GetPropertyData(objectID, address, size, size, ids.data());
    ids.resize(status == kAudioHardwareNoError ? size / sizeof(AudioObjectID) : 0);
    return status;
}

OSStatus AudioServerHost::ReadConfiguration(AudioObjectID deviceID, UInt32 clientID, UInt32 bufferFrames,
                                            IOConfiguration& configuration) const
{
    configuration = {deviceID, clientID, bufferFrames, 0, 0, 0, {}};
    UInt32 size = 0;
    OSStatus status = GetPropertyData(deviceID, Address(kAudioDevicePropertyNominalSampleRate),
                                      sizeof(configuration.fNominalRate), size, &configuration.fNominalRate);
    for (const bool input : {true, false}) {
        const AudioObjectPropertyScope scope =
            input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
        UInt32& safety = input ? configuration.fInputSafetyOffset : configuration.fOutputSafetyOffset;
        if (status == kAudioHardwareNoError) {
            status = GetUInt32(deviceID, Address(kAudioDevicePropertySafetyOffset, scope), safety);
        }
        std::vector<AudioObjectID> streams;
        if (status == kAudioHardwareNoError) {
            status = GetIDs(deviceID, Address(kAudioDevicePropertyStreams, scope), streams);
        }
        for (AudioObjectID stream : streams) {
            AudioStreamBasicDescription format = {};
            if (status == kAudioHardwareNoError) {
                status = GetPropertyData(stream, Address(kAudioStreamPropertyVirtualFormat), sizeof(format),
                                         size, &format);
            }
            configuration.fStreams.push_back({stream, input, format.mBytesPerFrame});
        }
    }
    if (status == kAudioHardwareNoError && configuration.fNominalRate <= 0) {
        status = kAudioHardwareUnspecifiedError;
    }
    return status;
}

OSStatus AudioServerHost::StartRunner(AudioObjectID deviceID, UInt32 clientID, Client& client)
{
    IOConfiguration configuration;
    OSStatus status = ReadConfiguration(deviceID, clientID, client.fBufferFrames, configuration);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    if (client.fStartObserver) {
        client.fStartObserver(configuration);
    }
    auto runner =
        std::make_unique<IORunner>(fDriver, std::move(configuration), client.fCallback, client.fObserver);
    status = runner->Start();
    if (status == kAudioHardwareNoError) {
        client.fRunner = std::move(runner);
    }
    return status;
}

OSStatus AudioServerHost::StartIO(AudioObjectID deviceID, UInt32 clientID, UInt32 bufferFrames,
                                  IOCallback callback, IOCycleObserver observer,
                                  IOStartObserver startObserver)
{
    const AudioServerPlugInClientInfo info = ClientInfo(clientID, fClientPID);
    OSStatus status = (**fDriver).AddDeviceClient(fDriver, deviceID, &info);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    std::lock_guard<std::mutex> lock(fClientsMutex);
    Client& client = fClients[{deviceID, clientID}];
    client.fBufferFrames = bufferFrames;
    client.fCallback = std::move(callback);
    client.fObserver = std::move(observer);
    client.fStartObserver = std::move(startObserver);
    status = StartRunner(deviceID, clientID, client);
    if (status != kAudioHardwareNoError) {
        fClients.erase({deviceID, clientID});
        (**fDriver).RemoveDeviceClient(fDriver, deviceID, &info);
    }
    return status;
}

void AudioServerHost::StopIO(AudioObjectID deviceID, UInt32 clientID)
{
    std::lock_guard<std::mutex> lock(fClientsMutex);
    const auto found = fClients.find({deviceID, clientID});
    if (found == fClients.end()) {
        return;
    }
    found->second.fRunner.reset();
    fClients.erase(found);
    const AudioServerPlugInClientInfo info = ClientInfo(clientID, fClientPID);
    (**fDriver).RemoveDeviceClient(fDriver, deviceID, &info);
}

const IORunner* AudioServerHost::Runner(AudioObjectID deviceID, UInt32 clientID) const
{
    std::lock_guard<std::mutex> lock(fClientsMutex);
    const auto found = fClients.find({deviceID, clientID});
    return found == fClients.end() ? nullptr : found->second.fRunner.get();
}

void AudioServerHost::SetConfigurationMode(ConfigurationMode mode)
{
    std::lock_guard<std::mutex> lock(fMutex);
    fMode = mode;
}

std::vector<HostConfigurationRequest> AudioServerHost::ConfigurationRequests() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fRequests;
}

void AudioServerHost::ServeConfigurationRequest(const HostConfigurationRequest& request)
{
    {
        // The device's running clients stop first, so the change happens while no IO runs.
        std::lock_guard<std::mutex> lock(fClientsMutex);
        for (auto& [key, client] : fClients) {
            if (key.first == request.fDeviceID) {
                client.fRunner.reset();
            }
        }
    }
    ConfigurationMode mode;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        mode = fMode;
        if (mode == ConfigurationMode::Hold) {
            fHeld.push_back(request);
            return;
        }
    }
    FinishConfigurationChange(request, mode);
}

void AudioServerHost::ReleaseHeldRequests(ConfigurationMode mode)
{
    std::vector<HostConfigurationRequest> held;
    {
        std::lock_guard<std::mutex> lock(fMutex);
        held.swap(fHeld);
    }
    dispatch_async(fQueue, [this, held, mode] {
        for (const HostConfigurationRequest& request : held) {
            FinishConfigurationChange(request, mode);
        }
    });
}

void AudioServerHost::FinishConfigurationChange(const HostConfigurationRequest& request,
                                                ConfigurationMode mode)
{
    auto& table = **fDriver;
    if (mode == ConfigurationMode::Abort) {
        table.AbortDeviceConfigurationChange(fDriver, request.fDeviceID, request.fAction, request.fInfo);
    } else {
        table.PerformDeviceConfigurationChange(fDriver, request.fDeviceID, request.fAction, request.fInfo);
    }
    // Each stopped client starts again with the formats as they are now.
    std::lock_guard<std::mutex> lock(fClientsMutex);
    for (auto& [key, client] : fClients) {
        if (key.first == request.fDeviceID && !client.fRunner) {
            StartRunner(key.first, key.second, client);
        }
    }
}

void AudioServerHost::Drain() const
{
    dispatch_sync(fQueue, [] {});
}
