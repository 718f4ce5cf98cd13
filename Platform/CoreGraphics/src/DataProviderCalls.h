#pragma once

// Counts the data copies of all providers, for the test seam.

namespace CGPlatform {

unsigned long dataCopyCount();

} // namespace CGPlatform
