#pragma once

// Activation of system extensions: an app submits a request for an extension of its bundle, and
// the system reports on the request's queue through the request's delegate whether user approval
// is needed, whether an installed extension is to be replaced, and how the request ended.

#include <Foundation/NSObject.h>
#include <Foundation/NSTypes.h>
#include <dispatch/dispatch.h>

namespace OS {

enum class SystemExtensionRequestResult : long
{
    Completed = 0,
    WillCompleteAfterReboot = 1,
};

enum class SystemExtensionReplacementAction : long
{
    Cancel = 0,
    Replace = 1,
};

// The framework's error domain and the codes of its errors.
extern const NS::String SystemExtensionErrorDomain;

enum SystemExtensionErrorCode : long
{
    SystemExtensionErrorUnknown = 1,
    SystemExtensionErrorMissingEntitlement = 2,
    SystemExtensionErrorExtensionNotFound = 4,
    SystemExtensionErrorRequestCanceled = 11,
    SystemExtensionErrorAuthorizationRequired = 13,
};

class SystemExtensionProperties : public NS::Object
{
public:
    // With one reference; the strings are retained.
    static SystemExtensionProperties* create(NS::String bundleIdentifier, NS::String bundleVersion,
                                             NS::String bundleShortVersion);

    NS::String bundleIdentifier() const { return fBundleIdentifier; }
    NS::String bundleVersion() const { return fBundleVersion; }
    NS::String bundleShortVersion() const { return fBundleShortVersion; }

private:
    SystemExtensionProperties(NS::String identifier, NS::String version, NS::String shortVersion);
    ~SystemExtensionProperties() override;

    NS::String fBundleIdentifier;
    NS::String fBundleVersion;
    NS::String fBundleShortVersion;
};

class SystemExtensionRequest;

class SystemExtensionRequestDelegate
{
public:
    virtual SystemExtensionReplacementAction
    requestActionForReplacingExtension(SystemExtensionRequest* request, SystemExtensionProperties* existing,
                                       SystemExtensionProperties* extension) = 0;
    virtual void requestNeedsUserApproval(SystemExtensionRequest* request) = 0;
    virtual void requestDidFinishWithResult(SystemExtensionRequest* request,
                                            SystemExtensionRequestResult result) = 0;
    virtual void requestDidFailWithError(SystemExtensionRequest* request, NS::Error error) = 0;

protected:
    ~SystemExtensionRequestDelegate() = default;
};

class SystemExtensionRequest : public NS::Object
{
public:
    // A request to activate the extension with that bundle identifier, reporting on `queue`; with
    // one reference.
    static SystemExtensionRequest* activationRequestForExtension(NS::String identifier,
                                                                 dispatch_queue_t queue);

    // Not retained: the delegate must outlive the request's reports.
    void setDelegate(SystemExtensionRequestDelegate* delegate) { fDelegate = delegate; }
    SystemExtensionRequestDelegate* delegate() const { return fDelegate; }
    NS::String identifier() const { return fIdentifier; }
    dispatch_queue_t queue() const { return fQueue; }

private:
    SystemExtensionRequest(NS::String identifier, dispatch_queue_t queue);
    ~SystemExtensionRequest() override;

    NS::String fIdentifier;
    dispatch_queue_t fQueue;
    SystemExtensionRequestDelegate* fDelegate = nullptr;
};

class SystemExtensionManager
{
public:
    static SystemExtensionManager& sharedManager();

    // Retains the request until it has ended.
    void submitRequest(SystemExtensionRequest* request);

private:
    SystemExtensionManager() = default;
};

} // namespace OS
