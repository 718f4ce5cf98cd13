#pragma once

// Keeps every document the library reads from loading other files or network resources through
// external entities or DTDs: without validation nothing external loads, with validation only local
// files do. Installed process-wide once, by the first parser.

namespace Pellix {

void InstallEntityLoader();

} // namespace Pellix
