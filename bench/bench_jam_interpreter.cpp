// The Jam STAPL player's instruction loop against the floor no checked player can beat: a plain
// switch over the same byte code with no checks at all. The program runs 10^7 loop iterations of
// stack, arithmetic, variable and array instructions and no JTAG.
//
// Pair: jam_interpreter/ours (the player, with the updater's own stubs) and jam_interpreter/peer (the
// unchecked loop); both print instructions per second. Goal: at most 1.25 times the peer's time.

#include "JamBuilder.h"
#include "JamPlayer.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace JamOp;

namespace {

constexpr int64_t kIterations = 10000000;
constexpr int64_t kInstructionsPerIteration = 14;

struct Fixture
{
    std::vector<uint8_t> file;
    uint32_t codeSection;
};

// I = 1; for each I up to 10^7: A[I & 15] = I; S = S + A[I & 15].
Fixture fixture()
{
    JamBuilder b;
    const uint32_t i = b.symbol(0x11, "I", 0, 0);
    const uint32_t s = b.symbol(0x11, "S", 0, 0);
    const uint32_t a = b.symbol(0x19, "A", 0, 16);
    b.op(PSHL, {1});
    b.op(POPV, {i});
    const uint32_t loopTop = b.op(PSHL, {0});
    b.op(PSHL, {uint32_t(kIterations)});
    b.op(PSHL, {1});
    b.patch(loopTop, b.here());
    b.op(PSHV, {i});
    b.op(PSHV, {i});
    b.op(PSHL, {15});
    b.op(AND);
    b.op(POPE, {a});
    b.op(PSHV, {i});
    b.op(PSHL, {15});
    b.op(AND);
    b.op(PSHE, {a});
    b.op(PSHV, {s});
    b.op(ADD);
    b.op(POPV, {s});
    b.op(NEXT, {i});
    b.op(PSH0);
    b.op(EXIT);
    Fixture result{b.build(), 0};
    const uint8_t* header = result.file.data() + 0x20;
    result.codeSection = uint32_t(header[0]) << 24 | header[1] << 16 | header[2] << 8 | header[3];
    return result;
}

uint32_t operand(const uint8_t* at)
{
    return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | at[3];
}

// The same byte code with no checks: the instructions this program uses, nothing else.
int64_t runUnchecked(const uint8_t* code)
{
    int64_t stack[128];
    int64_t variables[2] = {0, 0};
    int64_t array[16] = {};
    int depth = 0;
    const uint8_t* pc = code;
    for (;;) {
        const uint8_t opcode = *pc;
        const uint32_t k = operand(pc + 1);
        pc += 1 + 4 * (opcode >> 6);
        switch (opcode) {
        case PSHL:
            stack[depth++] = int32_t(k);
            break;
        case PSHV:
            stack[depth++] = variables[k];
            break;
        case POPV:
            variables[k] = stack[--depth];
            break;
        case AND:
            --depth, stack[depth - 1] &= stack[depth];
            break;
        case ADD:
            --depth, stack[depth - 1] += stack[depth];
            break;
        case POPE:
            array[stack[depth - 1]] = stack[depth - 2], depth -= 2;
            break;
        case PSHE:
            stack[depth - 1] = array[stack[depth - 1]];
            break;
        case NEXT:
            if (variables[k] >= stack[depth - 2]) {
                depth -= 3;
            } else {
                variables[k] += stack[depth - 1];
                pc = code + stack[depth - 3];
            }
            break;
        case PSH0:
            stack[depth++] = 0;
            break;
        case EXIT:
            return variables[1];
        }
    }
}

void ours(benchmark::State& state)
{
    const Fixture program = fixture();
    for (auto _ : state) {
        long errorAddress = 0;
        int exitCode = 0;
        int format = 0;
        const int status = jbi_execute(program.file.data(), int64_t(program.file.size()), nullptr, 0,
                                       "program", nullptr, false, &errorAddress, &exitCode, &format);
        if (status != JBIC_SUCCESS) {
            state.SkipWithError(("the fixture ended with status " + std::to_string(status)).c_str());
        }
    }
    state.counters["instructions/s"] = benchmark::Counter(double(kIterations * kInstructionsPerIteration),
                                                          benchmark::Counter::kIsIterationInvariantRate);
}

void peer(benchmark::State& state)
{
    const Fixture program = fixture();
    for (auto _ : state) {
        benchmark::DoNotOptimize(runUnchecked(program.file.data() + program.codeSection));
    }
    state.counters["instructions/s"] = benchmark::Counter(double(kIterations * kInstructionsPerIteration),
                                                          benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(ours)->Name("jam_interpreter/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(peer)->Name("jam_interpreter/peer")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
