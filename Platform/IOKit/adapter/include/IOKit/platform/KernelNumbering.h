#pragma once

// Lets a client that speaks the kernel extension's user-client numbering drive a driver extension
// unchanged: its calls are translated to the driver extension's selectors and sizes, and the
// driver's notification completions come back as mach messages on the client's notification port.

namespace IOKitPlatform {

// Connections opened from now on to services of `className` (or a subclass) go through the adapter.
void useKernelNumbering(const char* className);

} // namespace IOKitPlatform
