#pragma once

#include <string>

namespace Dispatch {

// Ends the process with "<call>: <message>" on standard error, as the platform traps misuse.
[[noreturn]] void fatal(const char* call, const std::string& message);

} // namespace Dispatch
