#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <vector>

namespace IOKit {

// Calls `visit(key, value)` for each entry of the dictionary.
template <typename Visit>
void forEachEntry(CFDictionaryRef dictionary, Visit visit)
{
    auto count = static_cast<size_t>(CFDictionaryGetCount(dictionary));
    std::vector<const void*> keys(count);
    std::vector<const void*> values(count);
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    for (size_t index = 0; index < count; ++index) {
        visit(static_cast<CFTypeRef>(keys[index]), static_cast<CFTypeRef>(values[index]));
    }
}

} // namespace IOKit
