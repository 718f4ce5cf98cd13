#pragma once

namespace DispatchTesting {

// Ends dispatch_main in-process: it returns once the main thread has run the main-queue blocks
// queued before this call. May be called from any thread, before dispatch_main starts too.
void endDispatchMain();

} // namespace DispatchTesting
