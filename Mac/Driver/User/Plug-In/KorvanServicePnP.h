#pragma once

// Watches the registry for the drivers' control-interface services and reports each arrival and
// departure once, on a work loop's thread.

#include "KorvanService.h"

#include <memory>

class WorkLoop;

class KorvanServicePnP
{
public:
    KorvanServicePnP();
    virtual ~KorvanServicePnP();
    KorvanServicePnP(const KorvanServicePnP&) = delete;
    KorvanServicePnP& operator=(const KorvanServicePnP&) = delete;

    // Ends any current watch (forgetting its services without reporting them); with `enable` and a
    // loop, starts a new one on that loop, whose first pass reports the services present now.
    void EnableServicePnPNotifications(bool enable, WorkLoop* workLoop);

    virtual void ServiceRegistered(const KorvanService& service) = 0;
    virtual void ServiceTerminated(const KorvanService& service) = 0;

private:
    class Impl;
    std::unique_ptr<Impl> fImpl;
};
