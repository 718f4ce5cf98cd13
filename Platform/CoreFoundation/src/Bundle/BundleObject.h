#pragma once

// The CFBundle object: a folder, its layout, and its Info.plist read once when it is made.

#include <CFPlatform/Object.h>
#include <CoreFoundation/CFBundle.h>

#include <string>

namespace CFPlatform {

class BundleObject final : public Object
{
public:
    static CFTypeID staticTypeID();
    CFTypeID typeID() const override { return staticTypeID(); }

    // `folder` is an existing directory's path without a trailing "/".
    explicit BundleObject(std::string folder);

    const std::string& folder() const { return fFolder; }
    CFURLRef url() const { return fURL; }
    CFDictionaryRef info() const { return fInfo; }
    // NULL when Info.plist names none.
    CFStringRef identifier() const;
    // The resources folder relative to the bundle folder: "Contents/Resources/", or "./" for a bare
    // folder.
    const char* relativeResourcesPath() const;
    // The resources folder's path, without a trailing "/".
    std::string resourcesFolder() const;

    CFBundleRef ref() const
    {
        return reinterpret_cast<CFBundleRef>(const_cast<Object*>(static_cast<const Object*>(this)));
    }

private:
    ~BundleObject() override;

    std::string fFolder;
    bool fHasContents;
    CFURLRef fURL;
    CFDictionaryRef fInfo;
};

// The bundle behind a reference; ends the process with a message naming `call` when it is NULL or
// not a bundle.
const BundleObject& bundleOf(CFBundleRef bundle, const char* call);

} // namespace CFPlatform
