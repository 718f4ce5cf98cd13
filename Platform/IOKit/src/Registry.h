#pragma once

#include "ClassAliases.h"

#include <IOKit/platform/Registry.h>

#include <memory>
#include <mutex>
#include <vector>

namespace IOKit {

class MatchingCriteria;
class MatchingNotification;
class UserClientHandle;

using IOKitPlatform::RegistryEntry;
using IOKitPlatform::UserClientProvider;

} // namespace IOKit

struct IOKitPlatform::RegistryEntry::State
{
    State(std::vector<std::string> classChain, std::string name);
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    const std::vector<std::string> fClassChain;
    const std::string fName;
    std::weak_ptr<RegistryEntry> fSelf;

    // Guarded by the registry's lock.
    CFMutableDictionaryRef fProperties;
    std::weak_ptr<RegistryEntry> fParent;
    std::vector<std::shared_ptr<RegistryEntry>> fChildren;
    bool fRegistered = false;
    bool fTerminated = false;
    std::shared_ptr<UserClientProvider> fProvider;
    std::vector<std::weak_ptr<IOKit::UserClientHandle>> fConnections;
};

namespace IOKit {

// The process's one registry: the published services in order of first publication, the matching
// notifications in order of creation, and the class aliases, all under one lock. Notifications are
// posted to their ports under that lock, which keeps every port's callbacks in registry order.
class Registry
{
public:
    static Registry& shared();

    // RegistryEntry's operations.
    static std::shared_ptr<RegistryEntry> create(std::vector<std::string> classChain, std::string name,
                                                 CFDictionaryRef properties);
    static RegistryEntry::State& stateOf(const RegistryEntry& entry) { return *entry.fState; }
    void attach(RegistryEntry& child, const std::shared_ptr<RegistryEntry>& parent);
    void publish(RegistryEntry& entry);
    void terminate(RegistryEntry& entry);
    // A null value removes the property; a value that is not a property list is refused.
    bool setProperty(RegistryEntry& entry, CFStringRef key, CFTypeRef value);
    CFTypeRef copyProperty(const RegistryEntry& entry, CFStringRef key);
    void setProvider(RegistryEntry& entry, std::shared_ptr<UserClientProvider> provider);
    void addAlias(const std::string& alias, const std::string& className);

    // Lookups.
    std::vector<std::shared_ptr<RegistryEntry>> matchingServices(const MatchingCriteria& criteria);
    std::vector<std::shared_ptr<RegistryEntry>> children(const RegistryEntry& entry);

    // Notifications.
    void addNotification(const std::shared_ptr<MatchingNotification>& notification);
    void removeNotification(MatchingNotification& notification);
    bool isActive(const MatchingNotification& notification);
    // The next service of the iterator, or null after arming the notification.
    std::shared_ptr<RegistryEntry> nextNotified(MatchingNotification& notification);

    // User clients: the provider to open with, or the error when there is none.
    IOReturn providerFor(const RegistryEntry& entry, std::shared_ptr<UserClientProvider>* provider);
    // Records an open connection; false when the entry has terminated meanwhile.
    bool addConnection(RegistryEntry& entry, const std::shared_ptr<UserClientHandle>& connection);

private:
    Registry() = default;
    bool matchesLocked(const MatchingCriteria& criteria, const RegistryEntry::State& state) const;
    void notifyLocked(const std::shared_ptr<RegistryEntry>& entry, bool firstPublish, bool terminated);
    void terminateLocked(const std::shared_ptr<RegistryEntry>& entry,
                         std::vector<std::shared_ptr<UserClientHandle>>& connections);

    std::mutex fLock;
    std::vector<std::shared_ptr<RegistryEntry>> fPublished;
    std::vector<std::shared_ptr<MatchingNotification>> fNotifications;
    ClassAliases fAliases;
};

} // namespace IOKit
