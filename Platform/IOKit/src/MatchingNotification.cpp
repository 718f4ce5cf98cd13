#include "MatchingNotification.h"

#include "Registry.h"

#include <cstring>

namespace IOKit {

std::optional<NotificationKind> notificationKind(const char* type)
{
    if (type == nullptr) {
        return std::nullopt;
    }
    if (strcmp(type, kIOFirstPublishNotification) == 0) {
        return NotificationKind::FirstPublish;
    }
    if (strcmp(type, kIOPublishNotification) == 0 || strcmp(type, kIOMatchedNotification) == 0) {
        return NotificationKind::Publish;
    }
    if (strcmp(type, kIOTerminatedNotification) == 0) {
        return NotificationKind::Terminate;
    }
    return std::nullopt;
}

MatchingNotification::MatchingNotification(NotificationKind kind, CFDictionaryRef matching,
                                           IOServiceMatchingCallback callback, void* refCon,
                                           std::shared_ptr<NotificationPort> port)
    : fKind(kind), fCriteria(matching), fPort(std::move(port)), fCallback(callback), fRefCon(refCon)
{}

void MatchingNotification::deliver(uint32_t, intptr_t)
{
    fCallback(fRefCon, fHandle.load());
}

io_object_t NotificationIterator::next()
{
    std::shared_ptr<RegistryEntry> entry = Registry::shared().nextNotified(*fNotification);
    return entry ? HandleTable::shared().retainEntry(entry) : 0;
}

bool NotificationIterator::isValid()
{
    return Registry::shared().isActive(*fNotification);
}

void NotificationIterator::lastReferenceReleased()
{
    Registry::shared().removeNotification(*fNotification);
    fNotification->fPort->withdraw(*fNotification);
}

} // namespace IOKit
