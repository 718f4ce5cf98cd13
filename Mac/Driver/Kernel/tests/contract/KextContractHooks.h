#pragma once

// What the user client's contract asks of the kernel side, reached from user-space code: no kernel
// type appears here.

#include <cstdint>

namespace KextContractHooks {

// The published control service's NotifyUserClient to its audio client.
void notifyAudioClient(uint32_t type, const void* data, uint32_t length);
// The published control service stops, as when its device goes, while its clients stay attached:
// they have no USB provider from now on.
void stopControlService();

} // namespace KextContractHooks
