#pragma once

// The audio server's storage for plug-in settings: property lists by key, kept in memory as copies.

#include <CoreFoundation/CoreFoundation.h>

#include <map>
#include <mutex>
#include <string>

class HostStorage
{
public:
    HostStorage() = default;
    ~HostStorage();
    HostStorage(const HostStorage&) = delete;
    HostStorage& operator=(const HostStorage&) = delete;

    // A copy the caller releases; null and a non-zero status for a missing key.
    OSStatus Copy(CFStringRef key, CFPropertyListRef* data) const;
    OSStatus Write(CFStringRef key, CFPropertyListRef data);
    OSStatus Delete(CFStringRef key);

private:
    mutable std::mutex fMutex;
    std::map<std::string, CFPropertyListRef> fValues;
};
