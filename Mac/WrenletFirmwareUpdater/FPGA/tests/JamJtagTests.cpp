// The JTAG layer as the player drives it: the TAP walk, scans with padding, waits and the primitive's
// contract.
#include "JamTestSupport.h"
#include "TapPaths.h"

using namespace JamOp;

enum : uint32_t
{
    RESET,
    IDLE,
    DRSELECT,
    DRCAPTURE,
    DRSHIFT,
    DREXIT1,
    DRPAUSE,
    DREXIT2,
    DRUPDATE,
    IRSELECT,
    IRCAPTURE,
    IRSHIFT,
    IREXIT1,
    IRPAUSE,
    IREXIT2,
    IRUPDATE
};

namespace {

// Clocks of the reset sequence, at first use and at the end of a run.
const std::string kReset = "111110";

// The clocks of a first "go to state": the reset sequence reaches IDLE, then the walk on (or the one
// IDLE clock of "already there").
std::string firstGoto(uint32_t state)
{
    return kReset + (state == IDLE ? std::string("0") : std::string(kTapPaths[IDLE][state]));
}

std::function<void(JamBuilder&)> exitAfter(std::function<void(JamBuilder&)> code)
{
    return [=](JamBuilder& b) {
        code(b);
        b.op(PSH0);
        b.op(EXIT);
    };
}

void push(JamBuilder& b, std::initializer_list<int64_t> values)
{
    for (const int64_t value : values) {
        b.op(PSHL, {uint32_t(value)});
    }
}

TEST_F(JamPlayerTest, EveryPathOfTheTapWalk)
{
    for (uint32_t from = 0; from < 16; ++from) {
        for (uint32_t to = 0; to < 16; ++to) {
            if (from == to) {
                continue;
            }
            gRecording = {};
            const RunResult result = run(program([&](JamBuilder& b) {
                b.op(ST, {from});
                b.op(SINT, {to});
                b.op(PSH0), b.op(EXIT);
            }));
            ASSERT_EQ(result.status, JBIC_SUCCESS);
            const std::string trace = tmsTrace();
            // From the state the first ST reached to the one the second leaves, before the end reset.
            const std::string first = firstGoto(from);
            ASSERT_EQ(trace.substr(0, first.size()), first);
            EXPECT_EQ(trace.substr(first.size(), trace.size() - first.size() - kReset.size()),
                      kTapPaths[from][to])
                << from << " -> " << to;
            EXPECT_TRUE(std::all_of(gRecording.calls.begin(), gRecording.calls.end(),
                                    [](const JtagCall& call) { return !call.tdi && !call.read; }));
        }
    }
}

struct TraceRow
{
    const char* name;
    std::function<void(JamBuilder&)> code;
    std::string tms; // every clock of the run, end reset included
    JBI_RETURN_TYPE status = JBIC_SUCCESS;
};

class JamTraceTest : public JamPlayerTest, public ::testing::WithParamInterface<TraceRow>
{};

TEST_P(JamTraceTest, Clocks)
{
    const TraceRow& row = GetParam();
    EXPECT_EQ(run(program(row.code)).status, row.status);
    EXPECT_EQ(tmsTrace(), row.tms);
}

const TraceRow kTraces[] = {
    {"first use by ST IDLE", exitAfter([](JamBuilder& b) { b.op(ST, {IDLE}); }), "1111100" + kReset},
    {"first use by ST RESET", exitAfter([](JamBuilder& b) { b.op(ST, {RESET}); }), kReset + "111" + kReset},
    {"first use by an IR scan", exitAfter([](JamBuilder& b) {
         push(b, {2, 0x3}), b.op(ISS);
     }),
     "1111100"
     "1100"
     "01"
     "0"
     "110" +
         kReset},
    {"first use by WAIT with cycles", exitAfter([](JamBuilder& b) {
         push(b, {0, 0, 0, 3}), b.op(WAIT, {IDLE, IDLE});
     }),
     "1111100"
     "000" +
         kReset},
    {"WAIT with microseconds only touches nothing", exitAfter([](JamBuilder& b) {
         push(b, {0, 0, 50, 0}), b.op(WAIT, {IDLE, IDLE});
     }),
     ""},
    {"WAIT ending elsewhere from the unknown state", exitAfter([](JamBuilder& b) {
         push(b, {0, 0, 50, 0}), b.op(WAIT, {IDLE, RESET});
     }),
     kReset + "111" + kReset},
    {"WAIT in RESET clocks TMS 1", exitAfter([](JamBuilder& b) {
         b.op(ST, {RESET}), push(b, {0, 0, 0, 2}), b.op(WAIT, {RESET, IDLE});
     }),
     kReset +
         "111"
         "11"
         "0" +
         kReset},
    {"already in IDLE", exitAfter([](JamBuilder& b) { b.op(ST, {IDLE}), b.op(ST, {IDLE}); }),
     "1111100"
     "0" +
         kReset},
    {"already in RESET", exitAfter([](JamBuilder& b) { b.op(ST, {RESET}), b.op(ST, {RESET}); }),
     kReset +
         "111"
         "1" +
         kReset},
    {"already in DRSELECT", exitAfter([](JamBuilder& b) { b.op(ST, {DRSELECT}), b.op(ST, {DRSELECT}); }),
     kReset + "1" + kReset},
    {"already in DRPAUSE", exitAfter([](JamBuilder& b) { b.op(ST, {DRPAUSE}), b.op(ST, {DRPAUSE}); }),
     kReset +
         "1010"
         "0" +
         kReset},
    {"a state code of 16", exitAfter([](JamBuilder& b) { b.op(ST, {16}); }), "", JBIC_INTERNAL_ERROR},
    {"a state code of 16 after use", exitAfter([](JamBuilder& b) { b.op(ST, {IDLE}), b.op(ST, {16}); }),
     "1111100" + kReset, JBIC_INTERNAL_ERROR},
    {"DR scans from the Pause-DR stop state", exitAfter([](JamBuilder& b) {
         b.op(DSTP, {DRPAUSE}), push(b, {4, 0}), b.op(DSS), push(b, {4, 0}), b.op(DSS);
     }),
     "1111100"
     "100"
     "0001"
     "0"
     "11100"
     "0001"
     "0" +
         kReset},
    {"IR scans from the Pause-IR stop state", exitAfter([](JamBuilder& b) {
         b.op(ISTP, {IRPAUSE}), push(b, {2, 0}), b.op(ISS), push(b, {2, 0}), b.op(ISS);
     }),
     "1111100"
     "1100"
     "01"
     "0"
     "111100"
     "01"
     "0" +
         kReset},
    {"a DR scan after an IR scan stopped in Pause-IR", exitAfter([](JamBuilder& b) {
         b.op(ISTP, {IRPAUSE}), push(b, {2, 0}), b.op(ISS), push(b, {2, 0}), b.op(DSS);
     }),
     "1111100"
     "1100"
     "01"
     "0"
     "11100"
     "01"
     "0"
     "110" +
         kReset},
    {"a scan from DRSHIFT goes to Pause-DR first", exitAfter([](JamBuilder& b) {
         b.op(ST, {DRSHIFT}), push(b, {1, 0}), b.op(DSS);
     }),
     kReset +
         "100"
         "10"
         "11100"
         "1"
         "0"
         "110" +
         kReset},
    {"a scan from RESET", exitAfter([](JamBuilder& b) {
         b.op(ST, {RESET}), push(b, {1, 0}), b.op(DSS);
     }),
     kReset +
         "111"
         "0"
         "100"
         "1"
         "0"
         "110" +
         kReset},
    {"a zero-length scan without padding", exitAfter([](JamBuilder& b) {
         b.op(ST, {IDLE}), push(b, {0, 0}), b.op(DSS);
     }),
     "1111100" + kReset, JBIC_BOUNDS_ERROR},
    {"a zero-length scan with padding", exitAfter([](JamBuilder& b) {
         push(b, {1}), b.op(DPR), push(b, {0, 0}), b.op(DSS);
     }),
     "1111100"
     "100"
     "1"
     "0"
     "110" +
         kReset},
    {"a negative scan count", exitAfter([](JamBuilder& b) {
         push(b, {-1, 0}), b.op(DSS);
     }),
     "", JBIC_BOUNDS_ERROR},
    {"a short scan of 33 bits", exitAfter([](JamBuilder& b) {
         push(b, {33, 0}), b.op(ISSC);
     }),
     "", JBIC_BOUNDS_ERROR},
};
INSTANTIATE_TEST_SUITE_P(Jtag, JamTraceTest, ::testing::ValuesIn(kTraces),
                         [](const auto& info) { return std::to_string(info.index); });

// The TDI of every call, as '0' and '1'.
std::string tdiTrace()
{
    std::string trace;
    for (const JtagCall& call : gRecording.calls) {
        trace += call.tdi ? '1' : '0';
    }
    return trace;
}

TEST_F(JamPlayerTest, PaddingSurroundsTheDataInVectorOrder)
{
    // DR preamble 2 ones, data 0b0110 of an array from bit 1, postamble 3 bits of literal 0b100.
    const std::vector<uint8_t> file = program(exitAfter([](JamBuilder& b) {
        const uint32_t array = b.symbol(0x0C, "D", b.data({0x0C}), 8);
        push(b, {2});
        b.op(DPR);
        push(b, {0x4, 3});
        b.op(DPOL);
        push(b, {4, 4, 1});
        b.op(DS, {array});
    }));
    ASSERT_EQ(run(file).status, JBIC_SUCCESS);
    EXPECT_EQ(tmsTrace(), "1111100"
                          "100"
                          "00000000"
                          "1"
                          "0"
                          "110" +
                              kReset);
    EXPECT_EQ(tdiTrace(), "0000000"
                          "000"
                          "11"
                          "0110"
                          "001"
                          "0"
                          "000"
                          "000000");
}

// Each padding form, for both registers: preamble and postamble bits around one data bit of 0.
TEST_F(JamPlayerTest, PaddingFromLiteralArrayAndOnes)
{
    const struct
    {
        const char* name;
        bool ir;
        std::function<void(JamBuilder&)> padding;
        std::string tdi; // preamble, data bit, postamble
    } rows[] = {
        {"IPR", true, [](JamBuilder& b) { push(b, {3}), b.op(IPR); }, "1110"},
        {"IPRL", true,
         [](JamBuilder& b) {
             push(b, {0x5, 3}), b.op(IPRL);
         },
         "1010"},
        {"IPRA", true,
         [](JamBuilder& b) {
             push(b, {5, 1}), b.op(IPRA, {0});
         },
         "100110"},
        {"IPO", true, [](JamBuilder& b) { push(b, {2}), b.op(IPO); }, "011"},
        {"IPOL", true,
         [](JamBuilder& b) {
             push(b, {0x2, 2}), b.op(IPOL);
         },
         "001"},
        {"IPOA", true,
         [](JamBuilder& b) {
             push(b, {7, 4}), b.op(IPOA, {0});
         },
         "01101"},
        {"IPR reset to none", true, [](JamBuilder& b) { push(b, {3}), b.op(IPR), push(b, {0}), b.op(IPR); },
         "0"},
        {"DPR", false, [](JamBuilder& b) { push(b, {2}), b.op(DPR); }, "110"},
        {"DPRL", false,
         [](JamBuilder& b) {
             push(b, {0x6, 3}), b.op(DPRL);
         },
         "0110"},
        {"DPRA", false,
         [](JamBuilder& b) {
             push(b, {3, 0}), b.op(DPRA, {0});
         },
         "01000"},
        {"DPO", false, [](JamBuilder& b) { push(b, {3}), b.op(DPO); }, "0111"},
        {"DPOL", false,
         [](JamBuilder& b) {
             push(b, {0x1, 2}), b.op(DPOL);
         },
         "010"},
        {"DPOA", false,
         [](JamBuilder& b) {
             push(b, {1, 0}), b.op(DPOA, {0});
         },
         "001"},
        {"DPO reset to none", false, [](JamBuilder& b) { push(b, {3}), b.op(DPO), push(b, {0}), b.op(DPO); },
         "0"},
    };
    for (const auto& row : rows) {
        gRecording = {};
        const std::vector<uint8_t> file = program(exitAfter([&](JamBuilder& b) {
            b.symbol(0x0C, "P", b.data({0xB2}), 8);
            row.padding(b);
            push(b, {1, 0});
            b.op(row.ir ? ISS : DSS);
        }));
        ASSERT_EQ(run(file).status, JBIC_SUCCESS) << row.name;
        // After the first use's seven clocks and the way into Shift.
        EXPECT_EQ(tdiTrace().substr(7 + (row.ir ? 4 : 3), row.tdi.size()), row.tdi) << row.name;
    }
}

TEST_F(JamPlayerTest, InstructionRegisterCaptures)
{
    const std::vector<uint8_t> file = program(exitAfter([](JamBuilder& b) {
        b.symbol(0x0C, "S", b.data({0x0F}), 8);
        b.symbol(0x09, "C", 0, 8);
        push(b, {4, int64_t(0xFFFFFF00)});
        b.op(ISSC);
        b.op(PINT);
        push(b, {4, 3, 0, 7, 4});
        b.op(ISC, {0, 1});
        push(b, {4, 7});
        b.op(PSHA, {1});
        b.op(PINT);
        b.op(PRNT);
    }));
    gRecording.tdo = {1, 1, 0, 0, 0, 1, 0, 1};
    ASSERT_EQ(run(file).status, JBIC_SUCCESS);
    // ISSC: 0b0011 over the upper bits; ISC: 0b1010 stored from capture index 4.
    EXPECT_EQ(message(), std::to_string(int32_t(0xFFFFFF03)) + "10");
    EXPECT_EQ(tdiTrace().substr(7 + 4, 4), "0000");
}

TEST_F(JamPlayerTest, CaptureReadsEveryShiftClockAndStoresOnlyTheData)
{
    // Preamble 1, data 4 bits, postamble 2: TDO 1 0 1 1 0 0 1 on the seven shift clocks.
    const std::vector<uint8_t> file = program(exitAfter([](JamBuilder& b) {
        const uint32_t scan = b.symbol(0x0C, "S", b.data({0x00}), 8);
        const uint32_t capture = b.symbol(0x09, "C", 0, 8);
        push(b, {1});
        b.op(DPR);
        push(b, {2});
        b.op(DPO);
        push(b, {4, 3, 0, 5, 2});
        b.op(DSC, {scan, capture});
        push(b, {0, 6});
        b.op(PSHA, {capture});
        b.op(PINT);
        b.op(PRNT);
    }));
    gRecording.tdo = {1, 0, 1, 1, 0, 0, 1};
    ASSERT_EQ(run(file).status, JBIC_SUCCESS);
    size_t reads = 0;
    for (const JtagCall& call : gRecording.calls) {
        reads += call.read;
    }
    EXPECT_EQ(reads, 7u);
    // Data bits 0 1 1 0 stored from capture index 2: 0b0011000.
    EXPECT_EQ(message(), "24");
}

TEST_F(JamPlayerTest, ShortCaptureKeepsTheUpperBitsOfTheData)
{
    const std::vector<uint8_t> file = program(exitAfter([](JamBuilder& b) {
        push(b, {4, int64_t(0xFFFFFF00)});
        b.op(DSSC);
        b.op(PINT);
        b.op(PRNT);
    }));
    gRecording.tdo = {1, 0, 1, 0};
    ASSERT_EQ(run(file).status, JBIC_SUCCESS);
    EXPECT_EQ(message(), std::to_string(int32_t(0xFFFFFF05)));
}

TEST_F(JamPlayerTest, AllOnesCaptureEqualsTheAllOnesLiteral)
{
    const std::vector<uint8_t> file = program(exitAfter([](JamBuilder& b) {
        push(b, {32, 0});
        b.op(DSSC);
        push(b, {int64_t(0xFFFFFFFF)});
        b.op(EQU);
        b.op(PINT);
        b.op(PRNT);
    }));
    gRecording.answer(0xFFFFFFFF, 32);
    ASSERT_EQ(run(file).status, JBIC_SUCCESS);
    EXPECT_EQ(message(), "1");
}

TEST_F(JamPlayerTest, ReversedScanRangeShiftsTheHighestIndexFirst)
{
    const auto scan = [](int64_t right, int64_t left) {
        return program(exitAfter([=](JamBuilder& b) {
            const uint32_t array = b.symbol(0x0C, "D", b.data({0x0E}), 8); // bits 1, 2, 3 set
            push(b, {4, left, right});
            b.op(DS, {array});
        }));
    };
    ASSERT_EQ(run(scan(0, 3)).status, JBIC_SUCCESS);
    EXPECT_EQ(tdiTrace().substr(10, 4), "0111");
    gRecording = {};
    // R > L: bits L+n-1 down to L, here 4 down to 1.
    ASSERT_EQ(run(scan(3, 1)).status, JBIC_SUCCESS);
    EXPECT_EQ(tdiTrace().substr(10, 4), "0111");
    gRecording = {};
    ASSERT_EQ(run(scan(7, 0)).status, JBIC_SUCCESS);
    EXPECT_EQ(tdiTrace().substr(10, 4), "1110");
}

TEST_F(JamPlayerTest, FormatTwoInstructionsWithTheFormatOneCountDoNothing)
{
    const struct
    {
        const char* name;
        std::function<void(JamBuilder&)> code;
    } rows[] = {
        {"DS",
         [](JamBuilder& b) {
             push(b, {1, 0}), b.op(DS, {0});
         }},
        {"IS",
         [](JamBuilder& b) {
             push(b, {1, 0}), b.op(IS, {0});
         }},
        {"COPY",
         [](JamBuilder& b) {
             push(b, {1, 0, 0}), b.op(COPY, {0, 1});
         }},
        {"DSC",
         [](JamBuilder& b) {
             push(b, {1, 0, 0}), b.op(DSC, {0, 1});
         }},
        {"ISC",
         [](JamBuilder& b) {
             push(b, {1, 0, 0}), b.op(ISC, {0, 1});
         }},
        {"WAIT",
         [](JamBuilder& b) {
             push(b, {0, 5}), b.op(WAIT, {IDLE, IDLE});
         }},
        {"CMPA",
         [](JamBuilder& b) {
             push(b, {1, 0, 0, 0}), b.op(CMPA, {0, 0, 0});
         }},
    };
    for (const auto& row : rows) {
        gRecording = {};
        const RunResult result = run(program([&](JamBuilder& b) {
            b.symbol(0x0C, "A", b.data({0xFF}), 8);
            b.symbol(0x09, "B", 0, 8);
            b.op(ST, {IDLE});
            row.code(b);
        }));
        EXPECT_EQ(result.status, JBIC_STACK_OVERFLOW) << row.name;
        EXPECT_EQ(tmsTrace(), "1111100" + kReset) << row.name;
    }
}

TEST_F(JamPlayerTest, TdiIsHandedOverAsTheMaskedByteAndDelaysPassThrough)
{
    const std::vector<uint8_t> file = program(exitAfter([](JamBuilder& b) {
        const uint32_t array = b.symbol(0x0C, "D", b.data({0x20}), 8);
        push(b, {1, 5, 5});
        b.op(DS, {array});
        push(b, {0, 0, 25, 0});
        b.op(WAIT, {IDLE, IDLE});
    }));
    ASSERT_EQ(run(file).status, JBIC_SUCCESS);
    EXPECT_EQ(gRecording.rawTdi[10], 0x20);
    EXPECT_EQ(gRecording.delays, std::vector<int64_t>{25});
}

TEST_F(JamPlayerTest, AFailedRunThatUsedTheTapStillEndsWithTheReset)
{
    EXPECT_EQ(run(program([](JamBuilder& b) { b.op(ST, {IDLE}), b.op(DUP); })).status, JBIC_STACK_OVERFLOW);
    EXPECT_EQ(tmsTrace(), "1111100" + kReset);
    gRecording = {};
    EXPECT_EQ(run(program([](JamBuilder& b) { b.op(DUP); })).status, JBIC_STACK_OVERFLOW);
    EXPECT_TRUE(gRecording.calls.empty());
}

} // namespace
