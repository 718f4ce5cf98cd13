#pragma once

// An IEEE 1149.1 TAP controller: the sixteen states and the transition on each TCK edge.

#include <cstdint>

namespace Wrenlet {

enum class TapState : uint8_t
{
    TestLogicReset,
    RunTestIdle,
    SelectDR,
    CaptureDR,
    ShiftDR,
    Exit1DR,
    PauseDR,
    Exit2DR,
    UpdateDR,
    SelectIR,
    CaptureIR,
    ShiftIR,
    Exit1IR,
    PauseIR,
    Exit2IR,
    UpdateIR,
};

// The state after one TCK edge with the given TMS.
TapState nextTapState(TapState state, bool tms);

} // namespace Wrenlet
