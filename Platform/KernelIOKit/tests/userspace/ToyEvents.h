#pragma once

// One ordered record of what the matching tests' toys, kernel and driver extension alike, and
// user space's power client did.

#include <string>
#include <vector>

namespace KernelIOKitTestSupport {

void recordToyEvent(std::string event);
std::vector<std::string> toyEvents();
void clearToyEvents();

} // namespace KernelIOKitTestSupport
