#pragma once

// The standard folders.

#include <Foundation/NSTypes.h>

namespace NS {

enum SearchPathDirectory : unsigned long
{
    LibraryDirectory = 5,
    DocumentDirectory = 9,
    ApplicationSupportDirectory = 14,
};

enum SearchPathDomainMask : unsigned long
{
    UserDomainMask = 1,
    LocalDomainMask = 2,
};

} // namespace NS

// The paths of a standard folder in each domain of the mask, the user's first; the user domain lies
// in the home folder (written "~" unless `expandTilde`). The caller releases the array.
NS::Array NSSearchPathForDirectoriesInDomains(NS::SearchPathDirectory directory, unsigned long domainMask,
                                              bool expandTilde);
