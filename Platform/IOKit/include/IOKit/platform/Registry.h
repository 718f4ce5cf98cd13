#pragma once

// The registry as the platform's layers and test doubles see it: the kernel and driver-extension
// layers, the USB nubs of the simulated bus and the fakes create entries here, and user-space code
// finds the same entries through IOKitLib.h. The system's own code never includes this header.
//
// Any thread may change the registry. No lock of the registry is held while it calls out (user
// clients, notification callbacks), and notifications reach their ports in the order the changes
// were made. The registry keeps a published entry until it terminates, and a parent keeps its
// children; otherwise an entry lives as long as its creator's references and the handles to it.

#include <IOKit/platform/UserClient.h>

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <string>
#include <vector>

namespace IOKit {
class Registry;
} // namespace IOKit

namespace IOKitPlatform {

class RegistryEntry
{
public:
    // A new entry, attached nowhere and not published. `classChain` names its class first, then
    // each superclass up to the root ("IOService" for a service); matching on any of them finds
    // it. An empty `name` names the entry after its class. `properties` are copied.
    static std::shared_ptr<RegistryEntry> create(std::vector<std::string> classChain, std::string name = {},
                                                 CFDictionaryRef properties = nullptr);

    ~RegistryEntry();
    RegistryEntry(const RegistryEntry&) = delete;
    RegistryEntry& operator=(const RegistryEntry&) = delete;

    // Attaches the entry as the last child of `parent` in the service plane (the plane of
    // IORegistryEntryGetChildIterator). An entry has one parent: attaching again moves it.
    void attachToParent(const std::shared_ptr<RegistryEntry>& parent);

    // Publishes the service: matching "IOServicePublish" and "IOServiceMatched" notifications get
    // it each time, "IOServiceFirstPublish" ones the first time, and IOServiceGetMatchingServices
    // finds it from now on. Does nothing once the entry has terminated.
    void registerService();

    // Terminates the entry and everything attached below it, parent first: each published one is
    // handed to the matching "IOServiceTerminate" notifications and is no longer matched; each
    // leaves its parent; every connection open on them is closed, and later calls on it fail.
    // Handles stay valid and properties readable. Terminating again does nothing.
    void terminate();

    // Properties may change at any time, before or after publication or termination. Values are
    // property lists, stored as immutable copies; anything else is refused (false).
    bool setProperty(CFStringRef key, CFTypeRef value);
    void removeProperty(CFStringRef key);
    // A retained copy of the value, or null.
    CFTypeRef copyProperty(CFStringRef key) const;

    // What IOServiceOpen opens on this entry; null removes it. Open connections are not affected.
    void setUserClientProvider(std::shared_ptr<UserClientProvider> provider);

    const std::string& name() const;
    const std::vector<std::string>& classChain() const;

private:
    friend class IOKit::Registry;
    struct State;

    explicit RegistryEntry(std::unique_ptr<State> state);

    std::unique_ptr<State> fState;
};

// Makes matching on `alias` find the entries whose class chain names `className`, as the USB layer
// does to let "IOUSBDevice" and "IOUSBHostDevice" name the same nubs.
void registerClassAlias(const std::string& alias, const std::string& className);

} // namespace IOKitPlatform
