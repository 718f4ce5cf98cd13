// The standard player's TMS sequences between TAP states, first clock first; empty from a state to
// itself. Tests of the player and of the simulated target check against it.
#pragma once

extern const char* const kTapPaths[16][16];
