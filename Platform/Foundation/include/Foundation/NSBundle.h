#pragma once

// The main bundle's folders, over CFBundle.

#include <Foundation/NSTypes.h>

namespace NS {

class Bundle
{
public:
    static Bundle* mainBundle();

    // The bundle's Contents/Resources, or the executable's folder outside a bundle. The caller
    // releases the string.
    String resourcePath() const;

private:
    Bundle() = default;
};

} // namespace NS
