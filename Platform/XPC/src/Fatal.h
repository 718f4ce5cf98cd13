#pragma once

namespace XPC {

// Ends the process for a misuse the platform traps, naming the call.
[[noreturn]] void fatal(const char* call, const char* what);

} // namespace XPC
