// Stack, arithmetic, flow and message instructions.
#include "JamTestSupport.h"

using namespace JamOp;

namespace {

struct Row
{
    const char* name;
    std::function<void(JamBuilder&)> code;
    JBI_RETURN_TYPE status;
    std::string printed; // the last message, when the status is success
    long errorAddress = 0;
};

void pushValue(JamBuilder& b, int64_t value)
{
    b.op(PSHL, {uint32_t(value)});
}

// INT64_MIN, which no literal reaches.
void pushMinimum(JamBuilder& b)
{
    b.op(PSHL, {1});
    b.op(PSHL, {63});
    b.op(SHL);
}

// Prints the top entry and exits with code 0.
void printTop(JamBuilder& b)
{
    b.op(PINT);
    b.op(PRNT);
    b.op(PSH0);
    b.op(EXIT);
}

std::function<void(JamBuilder&)> binary(int64_t a, int64_t b, uint8_t opcode)
{
    return [=](JamBuilder& builder) {
        pushValue(builder, a);
        pushValue(builder, b);
        builder.op(opcode);
        printTop(builder);
    };
}

std::function<void(JamBuilder&)> unary(int64_t a, uint8_t opcode)
{
    return [=](JamBuilder& builder) {
        pushValue(builder, a);
        builder.op(opcode);
        printTop(builder);
    };
}

std::function<void(JamBuilder&)> onMinimum(std::function<void(JamBuilder&)> then)
{
    return [=](JamBuilder& builder) {
        pushMinimum(builder);
        then(builder);
        printTop(builder);
    };
}

// Pushes count, mask, y and x for CMPS.
std::function<void(JamBuilder&)> compare(int64_t count, int64_t mask, int64_t y, int64_t x)
{
    return [=](JamBuilder& b) {
        for (const int64_t value : {count, mask, y, x}) {
            pushValue(b, value);
        }
        b.op(CMPS);
        printTop(b);
    };
}

class JamInstructionTest : public JamPlayerTest, public ::testing::WithParamInterface<Row>
{};

TEST_P(JamInstructionTest, Runs)
{
    const Row& row = GetParam();
    const RunResult result = run(program(row.code));
    EXPECT_EQ(result.status, row.status);
    if (row.status == JBIC_SUCCESS) {
        EXPECT_EQ(message(), row.printed);
    } else {
        EXPECT_EQ(result.errorAddress, row.errorAddress);
    }
    EXPECT_TRUE(gRecording.calls.empty());
}

const Row kArithmetic[] = {
    {"NOP", [](JamBuilder& b) { b.op(NOP), pushValue(b, 1), printTop(b); }, JBIC_SUCCESS, "1"},
    {"ADD", binary(7, 5, ADD), JBIC_SUCCESS, "12"},
    {"SUB takes the top from the second", binary(7, 5, SUB), JBIC_SUCCESS, "2"},
    {"MULT", binary(-3, 4, MULT), JBIC_SUCCESS, "-12"},
    {"DIV", binary(7, 2, DIV), JBIC_SUCCESS, "3"},
    {"DIV truncates toward zero", binary(-7, 2, DIV), JBIC_SUCCESS, "-3"},
    {"MOD takes the dividend's sign", binary(-7, 2, MOD), JBIC_SUCCESS, "-1"},
    {"MOD by a negative", binary(7, -2, MOD), JBIC_SUCCESS, "1"},
    {"DIV by zero", binary(7, 0, DIV), JBIC_DIVIDE_BY_ZERO, "", 10},
    {"MOD by zero", binary(7, 0, MOD), JBIC_DIVIDE_BY_ZERO, "", 10},
    {"DIV of the minimum by -1 wraps", onMinimum([](JamBuilder& b) { pushValue(b, -1), b.op(DIV); }),
     JBIC_SUCCESS, "-9223372036854775808"},
    {"MOD of the minimum by -1", onMinimum([](JamBuilder& b) { pushValue(b, -1), b.op(MOD); }), JBIC_SUCCESS,
     "0"},
    {"ABS of the minimum", onMinimum([](JamBuilder& b) { b.op(ABS); }), JBIC_SUCCESS, "-9223372036854775808"},
    {"ADD wraps", onMinimum([](JamBuilder& b) { pushValue(b, -1), b.op(ADD); }), JBIC_SUCCESS,
     "9223372036854775807"},
    {"SHL", binary(1, 4, SHL), JBIC_SUCCESS, "16"},
    {"SHL counts the low six bits", binary(1, 65, SHL), JBIC_SUCCESS, "2"},
    {"SHR keeps the sign", binary(-16, 2, SHR), JBIC_SUCCESS, "-4"},
    {"NOT", unary(5, NOT), JBIC_SUCCESS, "-6"},
    {"AND", binary(12, 10, AND), JBIC_SUCCESS, "8"},
    {"OR", binary(12, 10, OR), JBIC_SUCCESS, "14"},
    {"XOR", binary(12, 10, XOR), JBIC_SUCCESS, "6"},
    {"INV of non-zero", unary(5, INV), JBIC_SUCCESS, "0"},
    {"INV of zero", unary(0, INV), JBIC_SUCCESS, "1"},
    {"GT is signed", binary(-1, 1, GT), JBIC_SUCCESS, "0"},
    {"LT is signed", binary(-1, 1, LT), JBIC_SUCCESS, "1"},
    {"EQU", binary(5, 5, EQU), JBIC_SUCCESS, "1"},
    {"ABS", unary(-5, ABS), JBIC_SUCCESS, "5"},
    {"literals are sign-extended", [](JamBuilder& b) { pushValue(b, 0xFFFFFFFF), printTop(b); }, JBIC_SUCCESS,
     "-1"},
    {"CMPS equal under the mask", compare(8, 0xF0, 0x1F, 0x13), JBIC_SUCCESS, "1"},
    {"CMPS does not narrow the mask to the count", compare(4, 0xFF, 0x00, 0x10), JBIC_SUCCESS, "0"},
    {"CMPS count 0", compare(0, 1, 1, 1), JBIC_BOUNDS_ERROR, "", 20},
    {"CMPS count 33", compare(33, 1, 1, 1), JBIC_BOUNDS_ERROR, "", 20},
    {"CMPS count 32", compare(32, -1, 7, 7), JBIC_SUCCESS, "1"},
};
INSTANTIATE_TEST_SUITE_P(Arithmetic, JamInstructionTest, ::testing::ValuesIn(kArithmetic),
                         [](const auto& info) { return std::to_string(info.index); });

const Row kStack[] = {
    {"DUP", [](JamBuilder& b) { pushValue(b, 3), b.op(DUP), b.op(ADD), printTop(b); }, JBIC_SUCCESS, "6"},
    {"SWP", [](JamBuilder& b) { pushValue(b, 7), pushValue(b, 5), b.op(SWP), b.op(SUB), printTop(b); },
     JBIC_SUCCESS, "-2"},
    {"POPT", [](JamBuilder& b) { pushValue(b, 1), pushValue(b, 2), b.op(POPT), printTop(b); }, JBIC_SUCCESS,
     "1"},
    {"PSH0", [](JamBuilder& b) { b.op(PSH0), printTop(b); }, JBIC_SUCCESS, "0"},
    {"SWPN",
     [](JamBuilder& b) { pushValue(b, 1), pushValue(b, 2), pushValue(b, 3), b.op(SWPN, {2}), printTop(b); },
     JBIC_SUCCESS, "1"},
    {"DUPN", [](JamBuilder& b) { pushValue(b, 1), pushValue(b, 2), b.op(DUPN, {1}), printTop(b); },
     JBIC_SUCCESS, "1"},
    {"BCH0",
     [](JamBuilder& b) {
         for (int value = 8; value >= 0; --value) {
             pushValue(b, value);
         }
         b.op(BCH0);
         for (int i = 0; i < 12; ++i) {
             b.op(PINT);
         }
         b.op(PRNT);
         b.op(PSH0);
         b.op(EXIT);
     },
     JBIC_SUCCESS, "456782345018"},
    {"BCH0 short", [](JamBuilder& b) { b.op(PSH0), b.op(BCH0); }, JBIC_STACK_OVERFLOW, "", 1},
    {"DUP on an empty stack", [](JamBuilder& b) { b.op(NOP), b.op(DUP); }, JBIC_STACK_OVERFLOW, "", 1},
    {"SWP on one entry", [](JamBuilder& b) { b.op(PSH0), b.op(SWP); }, JBIC_STACK_OVERFLOW, "", 1},
    {"ADD on one entry", [](JamBuilder& b) { b.op(PSH0), b.op(ADD); }, JBIC_STACK_OVERFLOW, "", 1},
    {"SWPN beyond the stack", [](JamBuilder& b) { b.op(PSH0), b.op(SWPN, {1}); }, JBIC_STACK_OVERFLOW, "", 1},
    {"DUPN with a huge depth", [](JamBuilder& b) { b.op(PSH0), b.op(DUPN, {0xFFFFFFFF}); },
     JBIC_STACK_OVERFLOW, "", 1},
    {"EXIT on an empty stack", [](JamBuilder& b) { b.op(NOP), b.op(EXIT); }, JBIC_STACK_OVERFLOW, "", 1},
    {"127 entries",
     [](JamBuilder& b) {
         for (int i = 0; i < 126; ++i) {
             b.op(PSH0);
         }
         pushValue(b, 1);
         printTop(b);
     },
     JBIC_SUCCESS, "1"},
    {"128 entries",
     [](JamBuilder& b) {
         for (int i = 0; i < 128; ++i) {
             b.op(PSH0);
         }
     },
     JBIC_STACK_OVERFLOW, "", 127},
};
INSTANTIATE_TEST_SUITE_P(Stack, JamInstructionTest, ::testing::ValuesIn(kStack),
                         [](const auto& info) { return std::to_string(info.index); });

// A FOR loop printing its counter: i = from; body; NEXT i with end and step.
std::function<void(JamBuilder&)> forLoop(int64_t from, int64_t end, int64_t step)
{
    return [=](JamBuilder& b) {
        const uint32_t i = b.symbol(0x11, "I", 0, 0);
        pushValue(b, from);
        b.op(POPV, {i});
        const uint32_t loopTop = b.op(PSHL, {0});
        pushValue(b, end);
        pushValue(b, step);
        b.patch(loopTop, b.here());
        b.op(PSHV, {i});
        b.op(PINT);
        b.op(NEXT, {i});
        b.op(PRNT);
        b.op(PSH0);
        b.op(EXIT);
    };
}

const Row kFlow[] = {
    {"EXIT code", [](JamBuilder& b) { pushValue(b, 9), b.op(PRNT), b.op(EXIT); }, JBIC_SUCCESS, ""},
    {"JMP",
     [](JamBuilder& b) {
         const uint32_t jump = b.op(JMP, {0});
         b.op(PSTR, {b.string("skipped")});
         b.patch(jump, b.here());
         b.op(PSTR, {b.string("reached")});
         b.op(PRNT), b.op(PSH0), b.op(EXIT);
     },
     JBIC_SUCCESS, "reached"},
    {"JMPZ taken and not",
     [](JamBuilder& b) {
         b.op(PSH0);
         const uint32_t taken = b.op(JMPZ, {0});
         b.op(PSTR, {b.string("A")});
         b.patch(taken, b.here());
         pushValue(b, 1);
         b.op(JMPZ, {0});
         b.op(PSTR, {b.string("B")});
         b.op(PRNT), b.op(PSH0), b.op(EXIT);
     },
     JBIC_SUCCESS, "B"},
    {"JMP outside the code",
     [](JamBuilder& b) {
         b.op(NOP);
         b.op(JMP, {0x1000});
     },
     JBIC_BOUNDS_ERROR, "", 0x1000},
    {"a return address pushed and jumped to",
     [](JamBuilder& b) {
         const uint32_t back = b.op(PSHL, {0});
         const uint32_t call = b.op(JMP, {0});
         b.patch(back, b.here());
         b.op(PRNT), b.op(PSH0), b.op(EXIT);
         b.patch(call, b.here());
         b.op(PSTR, {b.string("sub")});
         b.op(RET);
     },
     JBIC_SUCCESS, "sub"},
    {"RET to offset 0", [](JamBuilder& b) { b.op(NOP), b.op(PSH0), b.op(RET); }, JBIC_BOUNDS_ERROR, "", 0},
    {"FOR counting up", forLoop(1, 3, 1), JBIC_SUCCESS, "123"},
    {"FOR counting down", forLoop(3, 1, -1), JBIC_SUCCESS, "321"},
    {"FOR already past the end", forLoop(5, 3, 1), JBIC_SUCCESS, "5"},
    {"NEXT short", [](JamBuilder& b) { b.symbol(0x11, "I", 0, 0), b.op(PSH0), b.op(PSH0), b.op(NEXT, {0}); },
     JBIC_STACK_OVERFLOW, "", 2},
    {"PCHR",
     [](JamBuilder& b) {
         for (const int64_t c : {0, 65, 200}) {
             pushValue(b, c);
             b.op(PCHR);
         }
         b.op(PRNT), b.op(PSH0), b.op(EXIT);
     },
     JBIC_SUCCESS,
     "\x7F"
     "A\x7F"},
    {"PRNT empties the message",
     [](JamBuilder& b) { b.op(PSTR, {b.string("x")}), b.op(PRNT), b.op(PRNT), b.op(PSH0), b.op(EXIT); },
     JBIC_SUCCESS, ""},
    {"a message stops at 1024 characters",
     [](JamBuilder& b) {
         const uint32_t text = b.string(std::string(100, 'x'));
         for (int i = 0; i < 11; ++i) {
             b.op(PSTR, {text});
         }
         pushValue(b, 12345);
         b.op(PINT);
         pushValue(b, 'y');
         b.op(PCHR);
         b.op(PRNT), b.op(PSH0), b.op(EXIT);
     },
     JBIC_SUCCESS, std::string(1024, 'x')},
    {"PSHV and POPV",
     [](JamBuilder& b) {
         const uint32_t v = b.symbol(0x11, "V", 0, 0);
         pushValue(b, 9);
         b.op(POPV, {v});
         b.op(PSHV, {v});
         printTop(b);
     },
     JBIC_SUCCESS, "9"},
    {"an initialised scalar",
     [](JamBuilder& b) { b.op(PSHV, {b.symbol(0x15, "V", 0xFFFFFFFE, 0)}), printTop(b); }, JBIC_SUCCESS,
     "-2"},
    {"PSHV of no variable", [](JamBuilder& b) { b.op(PSHV, {3}); }, JBIC_BOUNDS_ERROR, "", 0},
    {"EXPT", [](JamBuilder& b) { pushValue(b, 5), b.op(EXPT, {b.string("KEY")}), b.op(PSH0), b.op(EXIT); },
     JBIC_SUCCESS, ""},
};
INSTANTIATE_TEST_SUITE_P(Flow, JamInstructionTest, ::testing::ValuesIn(kFlow),
                         [](const auto& info) { return std::to_string(info.index); });

TEST_F(JamPlayerTest, ExitCodeAndExportComeOut)
{
    const RunResult exited = run(program([](JamBuilder& b) {
        pushValue(b, 5);
        b.op(EXPT, {b.string("KEY")});
        pushValue(b, 9);
        b.op(EXIT);
    }));
    EXPECT_EQ(exited.status, JBIC_SUCCESS);
    EXPECT_EQ(exited.exitCode, 9);
    EXPECT_EQ(gRecording.integers, (std::vector<std::pair<std::string, int64_t>>{{"KEY", 5}}));
}

TEST_F(JamPlayerTest, CallPushesAFileOffsetThatReturnTakesAsACodeOffset)
{
    JamBuilder b;
    const uint32_t call = b.op(CALL, {0});
    b.op(PSH0), b.op(EXIT);
    b.patch(call, b.here());
    b.op(RET);
    const std::vector<uint8_t> file = b.build();
    const uint32_t codeSection = uint32_t(file[0x20]) << 24 | file[0x21] << 16 | file[0x22] << 8 | file[0x23];
    const RunResult result = run(file);
    EXPECT_EQ(result.status, JBIC_BOUNDS_ERROR);
    EXPECT_EQ(result.errorAddress, long(codeSection + 5));
}

TEST_F(JamPlayerTest, UnsupportedAndUndefinedOpcodesStopAtTheirAddress)
{
    for (const uint8_t opcode : {0x19, 0x1A, 0x1B, 0x28, 0x29, 0x2A, 0x2B, 0x2E, 0x30, 0x3F, 0x46,
                                 0x5B, 0x5D, 0x7F, 0x81, 0x85, 0x86, 0xBF, 0xC1, 0xC2, 0xFF}) {
        gRecording = {};
        const RunResult result = run(program([&](JamBuilder& b) {
            b.op(NOP);
            b.code(opcode, opcode >> 6);
            b.op(PSH0), b.op(EXIT);
        }));
        EXPECT_EQ(result.status, JBIC_ILLEGAL_OPCODE) << std::hex << int(opcode);
        EXPECT_EQ(result.errorAddress, 1) << std::hex << int(opcode);
    }
}

TEST_F(JamPlayerTest, ExportOfBitsIsFormatTwoOnly)
{
    const auto exportThree = [](int entries) {
        return [=](JamBuilder& b) {
            const uint32_t array = b.symbol(0x0C, "A", b.data({0xA5}), 8);
            pushValue(b, 6);
            if (entries > 1) {
                pushValue(b, 1);
            }
            if (entries > 2) {
                pushValue(b, array);
            }
            b.op(EXPV, {b.string("BITS")});
            b.op(PSH0), b.op(EXIT);
        };
    };
    EXPECT_EQ(run(program(exportThree(3))).status, JBIC_SUCCESS);
    EXPECT_EQ(gRecording.booleanArrays,
              (std::vector<std::pair<std::string, std::vector<uint8_t>>>{{"BITS", {0x12}}}));
    EXPECT_EQ(run(program(exportThree(3), 1)).status, JBIC_ILLEGAL_OPCODE);
    EXPECT_EQ(run(program(exportThree(2), 1)).status, JBIC_STACK_OVERFLOW);
}

} // namespace
