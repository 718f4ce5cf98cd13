#pragma once

// An owned CF reference, released when it goes out of scope.

#include <CoreFoundation/CFBase.h>

#include <memory>
#include <vector>

namespace CFPlatform {

struct CFReleaser
{
    void operator()(const void* object) const { CFRelease(object); }
};

using Owned = std::unique_ptr<const void, CFReleaser>;

// Several owned references, released together.
class OwnedList
{
public:
    OwnedList() = default;
    OwnedList(const OwnedList&) = delete;
    OwnedList& operator=(const OwnedList&) = delete;
    ~OwnedList()
    {
        for (CFTypeRef object : fObjects) {
            CFRelease(object);
        }
    }

    void add(CFTypeRef object) { fObjects.push_back(object); }
    const void** data() { return fObjects.data(); }
    CFIndex count() const { return static_cast<CFIndex>(fObjects.size()); }

private:
    std::vector<const void*> fObjects;
};

} // namespace CFPlatform
