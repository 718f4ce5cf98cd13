#pragma once

// Whether a UDP port of this machine is free: a socket binds it on every address without sharing
// it (no SO_REUSEPORT), and lets it go at once.

#include <cstdint>

namespace SimNetwork {

bool udpPortIsFree(uint16_t port);

} // namespace SimNetwork
