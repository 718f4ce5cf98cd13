#pragma once

#include <CFPlatform/MainQueue.h>

namespace CFPlatform {

// The hooks the Dispatch layer installed, or null before it did.
const MainQueueHooks* installedMainQueueHooks();

} // namespace CFPlatform
