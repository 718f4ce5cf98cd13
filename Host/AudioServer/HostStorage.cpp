#include "HostStorage.h"

#include <CoreAudio/AudioHardwareBase.h>

namespace {

std::string KeyText(CFStringRef key)
{
    char buffer[1024] = {};
    CFStringGetCString(key, buffer, sizeof(buffer), kCFStringEncodingUTF8);
    return buffer;
}

// A deep copy, so that the caller's later changes do not reach the stored value.
CFPropertyListRef CopyValue(CFPropertyListRef value)
{
    return CFPropertyListCreateDeepCopy(nullptr, value, kCFPropertyListImmutable);
}

} // namespace

HostStorage::~HostStorage()
{
    for (auto& [key, value] : fValues) {
        CFRelease(value);
    }
}

OSStatus HostStorage::Copy(CFStringRef key, CFPropertyListRef* data) const
{
    if (key == nullptr || data == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    const auto found = fValues.find(KeyText(key));
    if (found == fValues.end()) {
        *data = nullptr;
        return kAudioHardwareUnknownPropertyError;
    }
    *data = CopyValue(found->second);
    return kAudioHardwareNoError;
}

OSStatus HostStorage::Write(CFStringRef key, CFPropertyListRef data)
{
    if (key == nullptr || data == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    CFPropertyListRef copy = CopyValue(data);
    if (copy == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    CFPropertyListRef& stored = fValues[KeyText(key)];
    if (stored != nullptr) {
        CFRelease(stored);
    }
    stored = copy;
    return kAudioHardwareNoError;
}

OSStatus HostStorage::Delete(CFStringRef key)
{
    if (key == nullptr) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    const auto found = fValues.find(KeyText(key));
    if (found == fValues.end()) {
        return kAudioHardwareUnknownPropertyError;
    }
    CFRelease(found->second);
    fValues.erase(found);
    return kAudioHardwareNoError;
}
