#include "Registry.h"

#include "DictionaryEntries.h"
#include "MatchingCriteria.h"
#include "MatchingNotification.h"
#include "UserClientHandle.h"

#include <algorithm>

using IOKitPlatform::RegistryEntry;

RegistryEntry::State::State(std::vector<std::string> classChain, std::string name)
    : fClassChain(std::move(classChain)),
      fName(!name.empty() || fClassChain.empty() ? std::move(name) : fClassChain.front()),
      fProperties(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                            &kCFTypeDictionaryValueCallBacks))
{}

RegistryEntry::State::~State()
{
    CFRelease(fProperties);
}

namespace IOKit {

Registry& Registry::shared()
{
    // Never destroyed: layers may change the registry from threads that outlive static destruction.
    static Registry* registry = new Registry;
    return *registry;
}

std::shared_ptr<RegistryEntry> Registry::create(std::vector<std::string> classChain, std::string name,
                                                CFDictionaryRef properties)
{
    std::shared_ptr<RegistryEntry> entry(
        new RegistryEntry(std::make_unique<RegistryEntry::State>(std::move(classChain), std::move(name))));
    entry->fState->fSelf = entry;
    if (properties != nullptr) {
        forEachEntry(properties, [&](CFTypeRef key, CFTypeRef value) {
            if (CFGetTypeID(key) == CFStringGetTypeID()) {
                shared().setProperty(*entry, static_cast<CFStringRef>(key), value);
            }
        });
    }
    return entry;
}

void Registry::attach(RegistryEntry& child, const std::shared_ptr<RegistryEntry>& parent)
{
    RegistryEntry::State& state = stateOf(child);
    std::shared_ptr<RegistryEntry> self = state.fSelf.lock();
    std::lock_guard lock(fLock);
    if (auto previous = state.fParent.lock()) {
        std::erase(stateOf(*previous).fChildren, self);
    }
    state.fParent = parent;
    if (parent) {
        stateOf(*parent).fChildren.push_back(self);
    }
}

void Registry::publish(RegistryEntry& entry)
{
    RegistryEntry::State& state = stateOf(entry);
    std::shared_ptr<RegistryEntry> self = state.fSelf.lock();
    std::lock_guard lock(fLock);
    if (state.fTerminated) {
        return;
    }
    bool first = !state.fRegistered;
    state.fRegistered = true;
    if (first) {
        fPublished.push_back(self);
    }
    notifyLocked(self, first, false);
}

void Registry::terminate(RegistryEntry& entry)
{
    std::vector<std::shared_ptr<UserClientHandle>> connections;
    {
        std::lock_guard lock(fLock);
        terminateLocked(stateOf(entry).fSelf.lock(), connections);
    }
    for (const auto& connection : connections) {
        connection->serviceTerminated();
    }
}

void Registry::terminateLocked(const std::shared_ptr<RegistryEntry>& entry,
                               std::vector<std::shared_ptr<UserClientHandle>>& connections)
{
    RegistryEntry::State& state = stateOf(*entry);
    if (state.fTerminated) {
        return;
    }
    state.fTerminated = true;
    if (state.fRegistered) {
        std::erase(fPublished, entry);
        notifyLocked(entry, false, true);
    }
    for (const auto& weak : state.fConnections) {
        if (auto connection = weak.lock()) {
            connections.push_back(std::move(connection));
        }
    }
    state.fConnections.clear();
    if (auto parent = state.fParent.lock()) {
        std::erase(stateOf(*parent).fChildren, entry);
    }
    state.fParent.reset();
    for (const auto& child : std::exchange(state.fChildren, {})) {
        stateOf(*child).fParent.reset();
        terminateLocked(child, connections);
    }
}

void Registry::notifyLocked(const std::shared_ptr<RegistryEntry>& entry, bool firstPublish, bool terminated)
{
    const RegistryEntry::State& state = stateOf(*entry);
    for (const auto& notification : fNotifications) {
        bool wanted = terminated
                          ? notification->fKind == NotificationKind::Terminate
                          : notification->fKind == NotificationKind::Publish ||
                                (notification->fKind == NotificationKind::FirstPublish && firstPublish);
        if (!wanted || !matchesLocked(notification->fCriteria, state)) {
            continue;
        }
        notification->fServices.push_back(entry);
        if (notification->fArmed) {
            notification->fArmed = false;
            notification->fPort->post(notification, 0, 0);
        }
    }
}

bool Registry::matchesLocked(const MatchingCriteria& criteria, const RegistryEntry::State& state) const
{
    return criteria.matches(state.fClassChain, state.fProperties, fAliases);
}

bool Registry::setProperty(RegistryEntry& entry, CFStringRef key, CFTypeRef value)
{
    CFTypeRef copy = nullptr;
    if (value != nullptr) {
        copy = CFPropertyListCreateDeepCopy(kCFAllocatorDefault, value, kCFPropertyListImmutable);
        if (copy == nullptr) {
            return false;
        }
    }
    {
        std::lock_guard lock(fLock);
        if (copy != nullptr) {
            CFDictionarySetValue(stateOf(entry).fProperties, key, copy);
        } else {
            CFDictionaryRemoveValue(stateOf(entry).fProperties, key);
        }
    }
    if (copy != nullptr) {
        CFRelease(copy);
    }
    return true;
}

CFTypeRef Registry::copyProperty(const RegistryEntry& entry, CFStringRef key)
{
    std::lock_guard lock(fLock);
    CFTypeRef value = CFDictionaryGetValue(stateOf(entry).fProperties, key);
    return value != nullptr ? CFRetain(value) : nullptr;
}

void Registry::setProvider(RegistryEntry& entry, std::shared_ptr<UserClientProvider> provider)
{
    std::lock_guard lock(fLock);
    std::swap(stateOf(entry).fProvider, provider);
}

void Registry::addAlias(const std::string& alias, const std::string& className)
{
    std::lock_guard lock(fLock);
    fAliases.add(alias, className);
}

std::vector<std::shared_ptr<RegistryEntry>> Registry::matchingServices(const MatchingCriteria& criteria)
{
    std::lock_guard lock(fLock);
    std::vector<std::shared_ptr<RegistryEntry>> found;
    for (const auto& entry : fPublished) {
        if (matchesLocked(criteria, stateOf(*entry))) {
            found.push_back(entry);
        }
    }
    return found;
}

std::vector<std::shared_ptr<RegistryEntry>> Registry::children(const RegistryEntry& entry)
{
    std::lock_guard lock(fLock);
    return stateOf(entry).fChildren;
}

void Registry::addNotification(const std::shared_ptr<MatchingNotification>& notification)
{
    std::lock_guard lock(fLock);
    if (notification->fKind != NotificationKind::Terminate) {
        for (const auto& entry : fPublished) {
            if (matchesLocked(notification->fCriteria, stateOf(*entry))) {
                notification->fServices.push_back(entry);
            }
        }
    }
    fNotifications.push_back(notification);
}

void Registry::removeNotification(MatchingNotification& notification)
{
    std::deque<std::shared_ptr<RegistryEntry>> services;
    std::shared_ptr<MatchingNotification> removed;
    {
        std::lock_guard lock(fLock);
        notification.fRemoved = true;
        services.swap(notification.fServices);
        auto found = std::find_if(fNotifications.begin(), fNotifications.end(),
                                  [&](const auto& known) { return known.get() == &notification; });
        if (found != fNotifications.end()) {
            removed = std::move(*found);
            fNotifications.erase(found);
        }
    }
}

bool Registry::isActive(const MatchingNotification& notification)
{
    std::lock_guard lock(fLock);
    return !notification.fRemoved;
}

std::shared_ptr<RegistryEntry> Registry::nextNotified(MatchingNotification& notification)
{
    std::lock_guard lock(fLock);
    if (notification.fRemoved) {
        return nullptr;
    }
    // A service that terminated before it was handed out is never reported as published, so no
    // client learns of a publication after having seen the termination.
    while (!notification.fServices.empty()) {
        std::shared_ptr<RegistryEntry> next = std::move(notification.fServices.front());
        notification.fServices.pop_front();
        if (notification.fKind == NotificationKind::Terminate || !stateOf(*next).fTerminated) {
            return next;
        }
    }
    notification.fArmed = true;
    return nullptr;
}

IOReturn Registry::providerFor(const RegistryEntry& entry, std::shared_ptr<UserClientProvider>* provider)
{
    std::lock_guard lock(fLock);
    const RegistryEntry::State& state = stateOf(entry);
    if (state.fTerminated) {
        return kIOReturnNoDevice;
    }
    if (!state.fProvider) {
        return kIOReturnUnsupported;
    }
    *provider = state.fProvider;
    return kIOReturnSuccess;
}

bool Registry::addConnection(RegistryEntry& entry, const std::shared_ptr<UserClientHandle>& connection)
{
    std::lock_guard lock(fLock);
    RegistryEntry::State& state = stateOf(entry);
    if (state.fTerminated) {
        return false;
    }
    std::erase_if(state.fConnections, [](const auto& weak) { return weak.expired(); });
    state.fConnections.push_back(connection);
    return true;
}

} // namespace IOKit
