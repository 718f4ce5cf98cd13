#include "RecordingHost.h"

#include <chrono>

namespace PlugInTesting {

RecordingHost::RecordingHost()
    : fInterface{PropertiesChanged, nullptr, nullptr, nullptr, RequestDeviceConfigurationChange}
{}

std::vector<PropertiesChange> RecordingHost::Changes() const
{
    std::lock_guard<std::mutex> lock(fMutex);
    return fChanges;
}

bool RecordingHost::WaitForChanges(size_t count) const
{
    std::unique_lock<std::mutex> lock(fMutex);
    return fChanged.wait_for(lock, std::chrono::seconds(30), [&] { return fChanges.size() >= count; });
}

OSStatus RecordingHost::PropertiesChanged(AudioServerPlugInHostRef host, AudioObjectID objectID, UInt32 count,
                                          const AudioObjectPropertyAddress* addresses)
{
    auto* self = reinterpret_cast<RecordingHost*>(const_cast<AudioServerPlugInHostInterface*>(host));
    std::lock_guard<std::mutex> lock(self->fMutex);
    self->fChanges.push_back({objectID, {addresses, addresses + count}});
    self->fChanged.notify_all();
    return 0;
}

OSStatus RecordingHost::RequestDeviceConfigurationChange(AudioServerPlugInHostRef, AudioObjectID, UInt64,
                                                         void*)
{
    return 0;
}

bool IsDeviceListChange(const PropertiesChange& change)
{
    return change.fObjectID == kAudioObjectPlugInObject && change.fAddresses.size() == 2 &&
           change.fAddresses[0].mSelector == kAudioObjectPropertyOwnedObjects &&
           change.fAddresses[0].mScope == kAudioObjectPropertyScopeGlobal &&
           change.fAddresses[0].mElement == 0 &&
           change.fAddresses[1].mSelector == kAudioPlugInPropertyDeviceList &&
           change.fAddresses[1].mScope == kAudioObjectPropertyScopeGlobal &&
           change.fAddresses[1].mElement == 0;
}

} // namespace PlugInTesting
