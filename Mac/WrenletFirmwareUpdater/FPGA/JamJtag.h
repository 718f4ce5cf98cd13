// The player's JTAG layer: the TAP walk, scans with padding and waits, all through jbi_jtag_io.
// Its state is the process's: one run at a time.
#pragma once

#include "JamPlayer.h"

#include <cstdint>

enum JBIE_JTAG_STATE : int
{
    JBI_ILLEGAL_JTAG_STATE = -1,
    RESET = 0,
    IDLE = 1,
    DRSELECT = 2,
    DRCAPTURE = 3,
    DRSHIFT = 4,
    DREXIT1 = 5,
    DRPAUSE = 6,
    DREXIT2 = 7,
    DRUPDATE = 8,
    IRSELECT = 9,
    IRCAPTURE = 10,
    IRSHIFT = 11,
    IREXIT1 = 12,
    IRPAUSE = 13,
    IREXIT2 = 14,
    IRUPDATE = 15,
};

// Counts the primitive calls and delays, so the interpreter knows when the device may have gone.
extern uint64_t gJamJtagActivity;

// Start of a run: state unknown, stop states IDLE, no padding. No clock.
void jbi_init_jtag();
// Whether the run has clocked the TAP (its state is known).
bool jbi_jtag_used();
JBI_RETURN_TYPE jbi_set_drstop_state(int64_t state);
JBI_RETURN_TYPE jbi_set_irstop_state(int64_t state);
// Padding: count bits of data from start_index (bit 0 first); null data means all ones.
JBI_RETURN_TYPE jbi_set_dr_preamble(int64_t count, int64_t start_index, const uint8_t* preamble_data);
JBI_RETURN_TYPE jbi_set_ir_preamble(int64_t count, int64_t start_index, const uint8_t* preamble_data);
JBI_RETURN_TYPE jbi_set_dr_postamble(int64_t count, int64_t start_index, const uint8_t* postamble_data);
JBI_RETURN_TYPE jbi_set_ir_postamble(int64_t count, int64_t start_index, const uint8_t* postamble_data);
JBI_RETURN_TYPE jbi_goto_jtag_state(int64_t state);
JBI_RETURN_TYPE jbi_do_wait_cycles(int64_t cycles, int64_t wait_state);
JBI_RETURN_TYPE jbi_do_wait_microseconds(int64_t microseconds, int64_t wait_state);
// Scans of count bits from start_index of data; the swap forms store the captured data bits into
// out_data from out_index.
JBI_RETURN_TYPE jbi_do_irscan(int64_t count, const uint8_t* tdi_data, int64_t start_index);
JBI_RETURN_TYPE jbi_do_drscan(int64_t count, const uint8_t* tdi_data, int64_t start_index);
JBI_RETURN_TYPE jbi_swap_ir(int64_t count, const uint8_t* in_data, int64_t in_index, uint8_t* out_data,
                            int64_t out_index);
JBI_RETURN_TYPE jbi_swap_dr(int64_t count, const uint8_t* in_data, int64_t in_index, uint8_t* out_data,
                            int64_t out_index);
// End of a run: the reset sequence if the TAP was used, leaving it in IDLE.
void jbi_reset_jtag_at_end();
void jbi_free_jtag_padding_buffers();
