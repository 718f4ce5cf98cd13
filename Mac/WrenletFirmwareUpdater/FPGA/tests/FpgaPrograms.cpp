#include "FpgaPrograms.h"

#include "JamBuilder.h"

#include <Wrenlet/FpgaBitstream.h>
#include <Wrenlet/JtagTarget.h>

using namespace JamOp;
using Wrenlet::JtagTarget;

namespace {

void instruction(JamBuilder& b, uint16_t code)
{
    b.op(PSHL, {JtagTarget::kIRLength});
    b.op(PSHL, {code});
    b.op(ISS);
}

void stall(JamBuilder& b, FpgaProgramSpec::Stall kind)
{
    constexpr uint32_t kHalfAnHourInMicroseconds = 1'800'000'000;
    if (kind == FpgaProgramSpec::Stall::None) {
        return;
    }
    b.op(PSHL, {1});
    b.op(PSH0);
    b.op(DSSC);
    b.op(POPT);
    if (kind == FpgaProgramSpec::Stall::LongWait) {
        for (const uint32_t value : {0u, 0u, kHalfAnHourInMicroseconds, 0u}) {
            b.op(PSHL, {value});
        }
        b.op(WAIT, {1, 1});
        return;
    }
    const uint32_t loop = b.here();
    b.op(JMP, {loop});
}

} // namespace

std::vector<uint8_t> makeFpgaProgram(const FpgaProgramSpec& spec)
{
    std::vector<uint8_t> payload(spec.payload);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = uint8_t(i * 7 + 3);
    }
    std::vector<uint8_t> bitstream = Wrenlet::makeFpgaBitstream(spec.variant, spec.version, payload);
    if (spec.corruptBitstream) {
        bitstream[bitstream.size() / 2] ^= 0x10;
    }
    bitstream.resize((bitstream.size() + 3) / 4 * 4);
    const uint32_t words = uint32_t(bitstream.size() / 4);

    JamBuilder b;
    b.action(spec.action, b.procedure("DO_PROGRAM", 0, 0, 0));
    const uint32_t bits = b.symbol(0x0C, "BITSTREAM", b.data(bitstream), words * 32);
    const uint32_t word = b.symbol(0x11, "WORD", 0, 0);

    b.op(ST, {1});
    instruction(b, JtagTarget::IDCODE);
    b.op(PSHL, {32});
    b.op(PSH0);
    b.op(DSSC);
    b.op(PSHL, {JtagTarget::idcodeOf(spec.variant)});
    b.op(EQU);
    const uint32_t toWrongDevice = b.op(JMPZ, {0});
    instruction(b, JtagTarget::ENABLE);
    if (spec.overflowStackAfterEnable) {
        for (int i = 0; i < 130; ++i) {
            b.op(PSH0);
        }
    }
    stall(b, spec.stallAfterEnable);
    instruction(b, JtagTarget::ERASE);
    instruction(b, JtagTarget::PROGRAM);

    b.op(PSH0);
    b.op(POPV, {word});
    const uint32_t loopTop = b.op(PSHL, {0});
    b.op(PSHL, {words - 1});
    b.op(PSHL, {1});
    b.patch(loopTop, b.here());
    // DS BITSTREAM[32 * WORD + 31 .. 32 * WORD], 32 bits.
    b.op(PSHL, {32});
    b.op(PSHV, {word});
    b.op(PSHL, {32});
    b.op(MULT);
    b.op(PSHL, {31});
    b.op(ADD);
    b.op(PSHV, {word});
    b.op(PSHL, {32});
    b.op(MULT);
    b.op(DS, {bits});
    b.op(NEXT, {word});

    instruction(b, JtagTarget::DONE);
    for (const uint32_t value : {0u, 0u, 0u, JtagTarget::kDoneClocks}) {
        b.op(PSHL, {value});
    }
    b.op(WAIT, {1, 1});
    if (spec.endWithIdleClocks) {
        b.op(PSH0);
        b.op(EXIT);
    } else {
        instruction(b, JtagTarget::STATUS);
        b.op(PSHL, {32});
        b.op(PSH0);
        b.op(DSSC);
        b.op(PSHL, {JtagTarget::Configured});
        b.op(AND);
        const uint32_t toFailed = b.op(JMPZ, {0});
        instruction(b, JtagTarget::DISABLE);
        b.op(PSHL, {uint32_t(spec.exitCode)});
        b.op(EXIT);
        b.patch(toFailed, b.here());
        b.op(PSHL, {10});
        b.op(EXIT);
    }
    b.patch(toWrongDevice, b.here());
    b.op(PSHL, {6});
    b.op(EXIT);
    return b.build();
}
