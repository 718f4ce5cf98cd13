#include <Wrenlet/JtagTap.h>

namespace Wrenlet {

TapState nextTapState(TapState state, bool tms)
{
    using S = TapState;
    // [state][tms]
    static constexpr S kNext[16][2] = {{S::RunTestIdle, S::TestLogicReset},
                                       {S::RunTestIdle, S::SelectDR},
                                       {S::CaptureDR, S::SelectIR},
                                       {S::ShiftDR, S::Exit1DR},
                                       {S::ShiftDR, S::Exit1DR},
                                       {S::PauseDR, S::UpdateDR},
                                       {S::PauseDR, S::Exit2DR},
                                       {S::ShiftDR, S::UpdateDR},
                                       {S::RunTestIdle, S::SelectDR},
                                       {S::CaptureIR, S::TestLogicReset},
                                       {S::ShiftIR, S::Exit1IR},
                                       {S::ShiftIR, S::Exit1IR},
                                       {S::PauseIR, S::UpdateIR},
                                       {S::PauseIR, S::Exit2IR},
                                       {S::ShiftIR, S::UpdateIR},
                                       {S::RunTestIdle, S::SelectDR}};
    return kNext[uint8_t(state)][tms ? 1 : 0];
}

} // namespace Wrenlet
