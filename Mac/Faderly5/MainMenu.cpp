#include "MainMenu.h"

#include "AppDelegate.h"

#include <ScopedObjc.h>

namespace MainMenu {

namespace {

uint16_t gUdpPort = UDPDiscovery::kDefaultPort;
Cocoa::scoped_objc<AppDelegate> gDelegate;

} // namespace

void Register(uint16_t udpPort)
{
    gUdpPort = udpPort;
    NS::registerNib("MainMenu", Build);
}

void Build()
{
    gDelegate.reset(AppDelegate::create(gUdpPort));
    NS::Application::sharedApplication().setDelegate(gDelegate.get());
}

AppDelegate* delegate()
{
    return gDelegate.get();
}

void Release()
{
    gDelegate.reset();
}

} // namespace MainMenu
