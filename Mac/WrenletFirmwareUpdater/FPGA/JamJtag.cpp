#include "JamJtag.h"

#include "JamStubs.h"

#include <cstring>
#include <initializer_list>

uint64_t gJamJtagActivity = 0;

namespace {

constexpr int kUnknownState = 16;

// Bit T of entry S set: from S toward target T the next clock has TMS 1.
constexpr uint16_t kTmsTowards[16] = {0x0001, 0xFFFD, 0xFE01, 0xFFE7, 0xFFEF, 0xFF0F, 0xFFBF, 0xFFFF,
                                      0xFEFD, 0x0001, 0xF3FF, 0xF7FF, 0x87FF, 0xDFFF, 0xFFFF, 0x7FFD};

// IEEE 1149.1 next state: [state][tms].
constexpr int kNextState[16][2] = {
    {IDLE, RESET},       {IDLE, DRSELECT},    {DRCAPTURE, IRSELECT}, {DRSHIFT, DREXIT1},
    {DRSHIFT, DREXIT1},  {DRPAUSE, DRUPDATE}, {DRPAUSE, DREXIT2},    {DRSHIFT, DRUPDATE},
    {IDLE, DRSELECT},    {IRCAPTURE, RESET},  {IRSHIFT, IREXIT1},    {IRSHIFT, IREXIT1},
    {IRPAUSE, IRUPDATE}, {IRPAUSE, IREXIT2},  {IRSHIFT, IRUPDATE},   {IDLE, DRSELECT}};

struct Padding
{
    uint8_t* bits = nullptr;
    int64_t count = 0;
    // Set when the bits are all ones, so asking for the same ones again costs nothing.
    bool allOnes = false;
};

struct JtagState
{
    int state = kUnknownState;
    int64_t irStop = IDLE;
    int64_t drStop = IDLE;
    Padding irPre, irPost, drPre, drPost;
};

JtagState gJtag;

int primitive(int tms, int tdi, int read_tdo)
{
    ++gJamJtagActivity;
    return jbi_jtag_io(tms, tdi, read_tdo);
}

bool bitAt(const uint8_t* data, int64_t index)
{
    return (data[index >> 3] >> (index & 7)) & 1;
}

void setBit(uint8_t* data, int64_t index, bool value)
{
    const uint8_t mask = uint8_t(1 << (index & 7));
    data[index >> 3] = value ? uint8_t(data[index >> 3] | mask) : uint8_t(data[index >> 3] & ~mask);
}

bool isStableState(int state)
{
    return state == IDLE || state == DRSHIFT || state == DRPAUSE || state == IRSHIFT || state == IRPAUSE;
}

void clock(int tms)
{
    primitive(tms, 0, 0);
    if (gJtag.state != kUnknownState) {
        gJtag.state = kNextState[gJtag.state][tms];
    }
}

void resetSequence()
{
    for (int i = 0; i < 5; ++i) {
        primitive(1, 0, 0);
    }
    primitive(0, 0, 0);
    gJtag.state = IDLE;
}

JBI_RETURN_TYPE stepTowards(int target)
{
    for (int step = 0; step < 9 && gJtag.state != target; ++step) {
        clock((kTmsTowards[gJtag.state] >> target) & 1);
    }
    return gJtag.state == target ? JBIC_SUCCESS : JBIC_INTERNAL_ERROR;
}

JBI_RETURN_TYPE setPadding(Padding& padding, int64_t count, int64_t start_index, const uint8_t* data)
{
    if (count < 0 || start_index < 0) {
        return JBIC_BOUNDS_ERROR;
    }
    if (!data && padding.allOnes && padding.count == count) {
        return JBIC_SUCCESS;
    }
    jbi_free(padding.bits);
    padding = {};
    if (count == 0) {
        return JBIC_SUCCESS;
    }
    const uint64_t bytes = (uint64_t(count) + 7) / 8;
    padding.bits = static_cast<uint8_t*>(jbi_malloc(bytes));
    if (!padding.bits) {
        return JBIC_OUT_OF_MEMORY;
    }
    std::memset(padding.bits, data ? 0 : 0xFF, bytes);
    if (data) {
        for (int64_t k = 0; k < count; ++k) {
            setBit(padding.bits, k, bitAt(data, start_index + k));
        }
    }
    padding.count = count;
    padding.allOnes = !data;
    return JBIC_SUCCESS;
}

// Section of the shifted vector: bits [start, start + count) of data, or ones when data is null.
struct Segment
{
    const uint8_t* data;
    int64_t start;
    int64_t count;
};

// Shifts pre, data and post from the current state and leaves the TAP at the stop state.
JBI_RETURN_TYPE scan(bool ir, int64_t count, const uint8_t* tdi_data, int64_t start_index, uint8_t* out_data,
                     int64_t out_index)
{
    const Padding& pre = ir ? gJtag.irPre : gJtag.drPre;
    const Padding& post = ir ? gJtag.irPost : gJtag.drPost;
    if (count < 0 || (count == 0 && pre.count == 0 && post.count == 0)) {
        return JBIC_BOUNDS_ERROR;
    }
    uint8_t* captured = nullptr;
    if (out_data && count > 0) {
        captured = static_cast<uint8_t*>(jbi_malloc((uint64_t(count) + 7) / 8));
        if (!captured) {
            return JBIC_OUT_OF_MEMORY;
        }
    }

    const int pause = ir ? IRPAUSE : DRPAUSE;
    JBI_RETURN_TYPE status = JBIC_SUCCESS;
    if (gJtag.state == kUnknownState || gJtag.state == RESET) {
        status = jbi_goto_jtag_state(IDLE);
    } else if (gJtag.state >= DRSELECT && gJtag.state <= DRUPDATE && gJtag.state != DRPAUSE) {
        status = stepTowards(DRPAUSE);
    } else if (gJtag.state >= IRSELECT && gJtag.state != IRPAUSE) {
        status = stepTowards(IRPAUSE);
    }
    if (status == JBIC_SUCCESS) {
        // From a Pause state the previous register is updated on the way through Exit2 and Update.
        if (gJtag.state != IDLE) {
            clock(1);
            clock(1);
        }
        clock(1);
        if (ir) {
            clock(1);
        }
        clock(0);
        clock(0);

        const Segment segments[3] = {
            {pre.bits, 0, pre.count}, {tdi_data, start_index, count}, {post.bits, 0, post.count}};
        const int64_t total = pre.count + count + post.count;
        int64_t shifted = 0;
        for (int s = 0; s < 3; ++s) {
            const Segment& segment = segments[s];
            for (int64_t k = 0; k < segment.count; ++k) {
                const int64_t index = segment.start + k;
                const int tdi = segment.data ? segment.data[index >> 3] & (1 << (index & 7)) : 1;
                const int tms = ++shifted == total ? 1 : 0;
                const int tdo = primitive(tms, tdi, out_data ? 1 : 0);
                if (captured && s == 1) {
                    setBit(captured, k, tdo != 0);
                }
            }
        }
        primitive(0, 0, 0);
        gJtag.state = pause;
        const int64_t stop = ir ? gJtag.irStop : gJtag.drStop;
        if (stop != pause) {
            status = jbi_goto_jtag_state(stop);
        }
        if (captured) {
            for (int64_t k = 0; k < count; ++k) {
                setBit(out_data, out_index + k, bitAt(captured, k));
            }
        }
    }
    jbi_free(captured);
    return status;
}

} // namespace

void jbi_init_jtag()
{
    jbi_free_jtag_padding_buffers();
    gJtag = {};
}

bool jbi_jtag_used()
{
    return gJtag.state != kUnknownState;
}

JBI_RETURN_TYPE jbi_set_drstop_state(int64_t state)
{
    gJtag.drStop = state;
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE jbi_set_irstop_state(int64_t state)
{
    gJtag.irStop = state;
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE jbi_set_dr_preamble(int64_t count, int64_t start_index, const uint8_t* preamble_data)
{
    return setPadding(gJtag.drPre, count, start_index, preamble_data);
}

JBI_RETURN_TYPE jbi_set_ir_preamble(int64_t count, int64_t start_index, const uint8_t* preamble_data)
{
    return setPadding(gJtag.irPre, count, start_index, preamble_data);
}

JBI_RETURN_TYPE jbi_set_dr_postamble(int64_t count, int64_t start_index, const uint8_t* postamble_data)
{
    return setPadding(gJtag.drPost, count, start_index, postamble_data);
}

JBI_RETURN_TYPE jbi_set_ir_postamble(int64_t count, int64_t start_index, const uint8_t* postamble_data)
{
    return setPadding(gJtag.irPost, count, start_index, postamble_data);
}

JBI_RETURN_TYPE jbi_goto_jtag_state(int64_t state)
{
    if (state < RESET || state > IRUPDATE) {
        return JBIC_INTERNAL_ERROR;
    }
    const int target = int(state);
    if (gJtag.state == kUnknownState) {
        resetSequence();
    }
    if (gJtag.state == target) {
        if (isStableState(target)) {
            clock(0);
        } else if (target == RESET) {
            clock(1);
        }
        return JBIC_SUCCESS;
    }
    return stepTowards(target);
}

JBI_RETURN_TYPE jbi_do_wait_cycles(int64_t cycles, int64_t wait_state)
{
    if (cycles == 0) {
        return JBIC_SUCCESS;
    }
    if (gJtag.state != wait_state) {
        const JBI_RETURN_TYPE status = jbi_goto_jtag_state(wait_state);
        if (status != JBIC_SUCCESS) {
            return status;
        }
    }
    const int tms = wait_state == RESET ? 1 : 0;
    for (int64_t i = 0; i < cycles && !jbi_cancelled(); ++i) {
        clock(tms);
    }
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE jbi_do_wait_microseconds(int64_t microseconds, int64_t wait_state)
{
    if (microseconds == 0) {
        return JBIC_SUCCESS;
    }
    if (gJtag.state != kUnknownState && gJtag.state != wait_state) {
        const JBI_RETURN_TYPE status = jbi_goto_jtag_state(wait_state);
        if (status != JBIC_SUCCESS) {
            return status;
        }
    }
    ++gJamJtagActivity;
    jbi_delay(microseconds);
    return JBIC_SUCCESS;
}

JBI_RETURN_TYPE jbi_do_irscan(int64_t count, const uint8_t* tdi_data, int64_t start_index)
{
    return scan(true, count, tdi_data, start_index, nullptr, 0);
}

JBI_RETURN_TYPE jbi_do_drscan(int64_t count, const uint8_t* tdi_data, int64_t start_index)
{
    return scan(false, count, tdi_data, start_index, nullptr, 0);
}

JBI_RETURN_TYPE jbi_swap_ir(int64_t count, const uint8_t* in_data, int64_t in_index, uint8_t* out_data,
                            int64_t out_index)
{
    return scan(true, count, in_data, in_index, out_data, out_index);
}

JBI_RETURN_TYPE jbi_swap_dr(int64_t count, const uint8_t* in_data, int64_t in_index, uint8_t* out_data,
                            int64_t out_index)
{
    return scan(false, count, in_data, in_index, out_data, out_index);
}

void jbi_reset_jtag_at_end()
{
    if (jbi_jtag_used()) {
        resetSequence();
    }
}

void jbi_free_jtag_padding_buffers()
{
    for (Padding* padding : {&gJtag.irPre, &gJtag.irPost, &gJtag.drPre, &gJtag.drPost}) {
        jbi_free(padding->bits);
        *padding = {};
    }
}
