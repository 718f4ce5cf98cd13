#pragma once

namespace Dispatch {

// Makes dispatch_main return once the main thread has run the blocks queued before this call.
void endDispatchMain();

} // namespace Dispatch
