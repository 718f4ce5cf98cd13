#include <SystemExtensions/SystemExtensions.h>

#include "Script.h"

namespace OS {

const NS::String SystemExtensionErrorDomain = CFSTR("OSSystemExtensionErrorDomain");

SystemExtensionProperties* SystemExtensionProperties::create(NS::String bundleIdentifier,
                                                             NS::String bundleVersion,
                                                             NS::String bundleShortVersion)
{
    return new SystemExtensionProperties(bundleIdentifier, bundleVersion, bundleShortVersion);
}

SystemExtensionProperties::SystemExtensionProperties(NS::String identifier, NS::String version,
                                                     NS::String shortVersion)
    : fBundleIdentifier(static_cast<NS::String>(CFRetain(identifier))),
      fBundleVersion(static_cast<NS::String>(CFRetain(version))),
      fBundleShortVersion(static_cast<NS::String>(CFRetain(shortVersion)))
{}

SystemExtensionProperties::~SystemExtensionProperties()
{
    CFRelease(fBundleIdentifier);
    CFRelease(fBundleVersion);
    CFRelease(fBundleShortVersion);
}

SystemExtensionRequest* SystemExtensionRequest::activationRequestForExtension(NS::String identifier,
                                                                              dispatch_queue_t queue)
{
    if (identifier == nullptr || queue == nullptr) {
        return nullptr;
    }
    return new SystemExtensionRequest(identifier, queue);
}

SystemExtensionRequest::SystemExtensionRequest(NS::String identifier, dispatch_queue_t queue)
    : fIdentifier(static_cast<NS::String>(CFRetain(identifier))), fQueue(queue)
{}

SystemExtensionRequest::~SystemExtensionRequest()
{
    CFRelease(fIdentifier);
}

SystemExtensionManager& SystemExtensionManager::sharedManager()
{
    static SystemExtensionManager manager;
    return manager;
}

void SystemExtensionManager::submitRequest(SystemExtensionRequest* request)
{
    if (request != nullptr) {
        SystemExtensions::Scripts::shared().submit(request);
    }
}

} // namespace OS
