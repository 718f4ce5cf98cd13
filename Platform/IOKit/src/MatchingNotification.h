#pragma once

#include "Iterators.h"
#include "MatchingCriteria.h"
#include "NotificationPort.h"

#include <IOKit/IOKitLib.h>

#include <atomic>
#include <deque>
#include <memory>
#include <optional>

namespace IOKit {

enum class NotificationKind
{
    FirstPublish,
    // "IOServicePublish" and "IOServiceMatched": every registration of the service.
    Publish,
    Terminate
};

std::optional<NotificationKind> notificationKind(const char* type);

// One IOServiceAddMatchingNotification: its iterator's services and whether the next one fires it.
class MatchingNotification final : public PortClient
{
public:
    MatchingNotification(NotificationKind kind, CFDictionaryRef matching, IOServiceMatchingCallback callback,
                         void* refCon, std::shared_ptr<NotificationPort> port);

    void deliver(uint32_t message, intptr_t argument) override;

    const NotificationKind fKind;
    const MatchingCriteria fCriteria;
    const std::shared_ptr<NotificationPort> fPort;
    std::atomic<io_iterator_t> fHandle{0};

    // Guarded by the registry's lock.
    std::deque<std::shared_ptr<RegistryEntry>> fServices;
    bool fArmed = false;
    bool fRemoved = false;

private:
    const IOServiceMatchingCallback fCallback;
    void* const fRefCon;
};

// The iterator handle of a notification; its last release ends the notification.
class NotificationIterator final : public IteratorHandle
{
public:
    explicit NotificationIterator(std::shared_ptr<MatchingNotification> notification)
        : fNotification(std::move(notification))
    {}

    io_object_t next() override;
    bool isValid() override;
    void reset() override {}
    void lastReferenceReleased() override;

private:
    const std::shared_ptr<MatchingNotification> fNotification;
};

} // namespace IOKit
