#pragma once

// Finds files among the resources of one bundle: the running program's main bundle unless a bundle
// identifier has been set. Nothing here throws: what cannot be found is an empty specification.

#include "File/FileLocation.h"

#include <memory>

namespace Pellix {

class ResourceAccess
{
public:
    class Implementation
    {
    public:
        Implementation(CFBundleRef bundle, bool hasIdentifier, const UString& identifier)
            : fBundle(bundle), fHasIdentifier(hasIdentifier), fIdentifier(identifier)
        {}
        virtual ~Implementation() = default;

        CFBundleRef fBundle;
        bool fHasIdentifier;
        UString fIdentifier;
    };

    // The process-wide instance.
    static ResourceAccess& Instance();

    ResourceAccess();
    ~ResourceAccess();
    ResourceAccess(const ResourceAccess&) = delete;
    ResourceAccess& operator=(const ResourceAccess&) = delete;

    // Looks the bundle up among the loaded ones; an identifier no loaded bundle has leaves every
    // lookup empty. Not to be called while another thread looks a resource up.
    void SetBundleID(const UString& id);
    bool GetBundleID(UString& id) const;

    FileSpecification GetResourcesFolder() const;
    // `type` is the file extension.
    FileSpecification GetFile(const UString& name, const UString& type) const;
    FileSpecification GetFile(const UString& name, const UString& type, const UString& subfolder) const;

private:
    std::unique_ptr<Implementation> fImplementation;
};

} // namespace Pellix
