#pragma once

// Property-list containers and leaves made with the mutability a caller asks for
// (kCFPropertyListImmutable, kCFPropertyListMutableContainers, ...AndLeaves).

#include "PropertyList/Owned.h"

#include <CoreFoundation/CFPropertyList.h>

namespace CFPlatform {

// New containers of the values in the lists (the lists keep and release their own references).
CFTypeRef createArray(OwnedList& values, CFOptionFlags mutability);
CFTypeRef createDictionary(OwnedList& keys, OwnedList& values, CFOptionFlags mutability);

// Takes the reference to `leaf` and answers a reference to the leaf to store: a mutable copy of a
// string or data when leaves are to be mutable, the leaf itself otherwise.
CFTypeRef adoptLeaf(CFTypeRef leaf, CFOptionFlags mutability);

} // namespace CFPlatform
