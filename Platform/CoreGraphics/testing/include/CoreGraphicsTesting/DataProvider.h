#pragma once

// Test seam of the data providers.

namespace CoreGraphicsTesting {

// How often CGDataProviderCopyData has been called in the process so far.
unsigned long dataProviderCopyDataCalls();

} // namespace CoreGraphicsTesting
