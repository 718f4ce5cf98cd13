#include "ResourceAccess.h"

#include "UString/UStringConvertMac.h"

namespace Pellix {

namespace {

FileSpecification FromURL(CFURLRef url)
{
    if (!url) {
        return FileSpecification();
    }
    auto_cfref<CFURLRef> absolute(CFURLCopyAbsoluteURL(url));
    return FileSpecification(static_cast<CFURLRef>(absolute));
}

auto_cfref<CFStringRef> OptionalCF(const UString& text)
{
    return text.empty() ? auto_cfref<CFStringRef>() : UStringToCF(text);
}

} // namespace

ResourceAccess& ResourceAccess::Instance()
{
    static ResourceAccess instance;
    return instance;
}

ResourceAccess::ResourceAccess()
    : fImplementation(std::make_unique<Implementation>(CFBundleGetMainBundle(), false, UString()))
{}

ResourceAccess::~ResourceAccess() = default;

void ResourceAccess::SetBundleID(const UString& id)
{
    fImplementation =
        std::make_unique<Implementation>(CFBundleGetBundleWithIdentifier(UStringToCF(id)), true, id);
}

bool ResourceAccess::GetBundleID(UString& id) const
{
    if (!fImplementation->fHasIdentifier) {
        return false;
    }
    id = fImplementation->fIdentifier;
    return true;
}

FileSpecification ResourceAccess::GetResourcesFolder() const
{
    if (!fImplementation->fBundle) {
        return FileSpecification();
    }
    auto_cfref<CFURLRef> url(CFBundleCopyResourcesDirectoryURL(fImplementation->fBundle));
    return FromURL(url);
}

FileSpecification ResourceAccess::GetFile(const UString& name, const UString& type) const
{
    return GetFile(name, type, UString());
}

FileSpecification ResourceAccess::GetFile(const UString& name, const UString& type,
                                          const UString& subfolder) const
{
    if (!fImplementation->fBundle) {
        return FileSpecification();
    }
    auto_cfref<CFURLRef> url(CFBundleCopyResourceURL(fImplementation->fBundle, UStringToCF(name),
                                                     OptionalCF(type), OptionalCF(subfolder)));
    return FromURL(url);
}

} // namespace Pellix
