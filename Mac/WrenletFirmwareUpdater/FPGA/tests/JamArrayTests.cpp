// Variables and arrays: set-up, reads and writes, copy on first write, slices, growth and the
// decompressor.
#include "JamTestSupport.h"
#include "JamUncompress.h"

#include <random>

using namespace JamOp;

namespace {

void push(JamBuilder& b, std::initializer_list<int64_t> values)
{
    for (const int64_t value : values) {
        b.op(PSHL, {uint32_t(value)});
    }
}

void printAndExit(JamBuilder& b)
{
    b.op(PINT);
    b.op(PRNT);
    b.op(PSH0);
    b.op(EXIT);
}

// Reads bits 0..7 of Boolean array 0 as a number.
void printByte(JamBuilder& b)
{
    push(b, {0, 7});
    b.op(PSHA, {0});
    printAndExit(b);
}

std::vector<uint8_t> be32(std::initializer_list<uint32_t> values)
{
    std::vector<uint8_t> out;
    for (const uint32_t value : values) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(uint8_t(value >> shift));
        }
    }
    return out;
}

struct Row
{
    const char* name;
    std::function<void(JamBuilder&)> code;
    JBI_RETURN_TYPE status;
    std::string printed;
    int format = 2;
};

class JamArrayTest : public JamPlayerTest, public ::testing::WithParamInterface<Row>
{};

TEST_P(JamArrayTest, Runs)
{
    const Row& row = GetParam();
    const std::vector<uint8_t> file = program(row.code, row.format);
    const std::vector<uint8_t> original = file;
    const RunResult result = run(file);
    EXPECT_EQ(result.status, row.status);
    if (row.status == JBIC_SUCCESS) {
        EXPECT_EQ(message(), row.printed);
    }
    EXPECT_EQ(file, original) << "the file was written";
}

const Row kRows[] = {
    {"integer array from the file, sign-extended",
     [](JamBuilder& b) {
         b.symbol(0x1C, "I", b.data(be32({5, 0xFFFFFFFD})), 2);
         push(b, {1});
         b.op(PSHE, {0});
         printAndExit(b);
     },
     JBIC_SUCCESS, "-3"},
    {"POPE into a file array copies it first",
     [](JamBuilder& b) {
         b.symbol(0x1C, "I", b.data(be32({5, 6})), 2);
         push(b, {7, 1});
         b.op(POPE, {0});
         push(b, {0});
         b.op(PSHE, {0});
         push(b, {1});
         b.op(PSHE, {0});
         b.op(ADD);
         printAndExit(b);
     },
     JBIC_SUCCESS, "12"},
    {"POPE into a file array in format 1",
     [](JamBuilder& b) {
         b.symbol(0x1C, "I", b.data(be32({5, 6})), 2);
         push(b, {7, 1});
         b.op(POPE, {0});
     },
     JBIC_BOUNDS_ERROR, "", 1},
    {"POPE and PSHE on a zeroed array",
     [](JamBuilder& b) {
         b.symbol(0x19, "I", 0, 3);
         push(b, {-4, 2});
         b.op(POPE, {0});
         push(b, {2});
         b.op(PSHE, {0});
         printAndExit(b);
     },
     JBIC_SUCCESS, "-4"},
    {"PSHE past the end",
     [](JamBuilder& b) {
         b.symbol(0x19, "I", 0, 3);
         push(b, {3});
         b.op(PSHE, {0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"POPE before the start",
     [](JamBuilder& b) {
         b.symbol(0x19, "I", 0, 3);
         push(b, {1, -1});
         b.op(POPE, {0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"PSHE on pattern 0x18",
     [](JamBuilder& b) {
         b.symbol(0x18, "I", 0, 3);
         push(b, {0});
         b.op(PSHE, {0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"PSHE on pattern 0x1D",
     [](JamBuilder& b) {
         b.symbol(0x1D, "I", b.data(be32({1})), 1);
         push(b, {0});
         b.op(PSHE, {0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"POPA into a file array copies it first",
     [](JamBuilder& b) {
         b.symbol(0x0C, "B", b.data({0x81}), 8);
         push(b, {0x3, 1, 2});
         b.op(POPA, {0});
         printByte(b);
     },
     JBIC_SUCCESS, "135"},
    {"POPA into a compressed array",
     [](JamBuilder& b) {
         b.symbol(0x0E, "B", b.data({0x01, 0x00, 0x00, 0x00, 0x2A, 0x00}), 6);
         push(b, {1, 0, 0});
         b.op(POPA, {0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"POPA reversed",
     [](JamBuilder& b) {
         b.symbol(0x09, "B", 0, 8);
         push(b, {1, 0, 2});
         b.op(POPA, {0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"PSHA of 33 bits",
     [](JamBuilder& b) {
         b.symbol(0x09, "B", 0, 64);
         push(b, {0, 32});
         b.op(PSHA, {0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"PSHA with bit 31 set is negative",
     [](JamBuilder& b) {
         b.symbol(0x0C, "B", b.data({0, 0, 0, 0x80}), 32);
         push(b, {0, 31});
         b.op(PSHA, {0});
         printAndExit(b);
     },
     JBIC_SUCCESS, "-2147483648"},
    {"PSHA format 1: count on top",
     [](JamBuilder& b) {
         b.symbol(0x0C, "B", b.data({0xF0}), 8);
         push(b, {2, 3});
         b.op(PSHA, {0});
         printAndExit(b);
     },
     JBIC_SUCCESS, "4", 1},
    {"PSHA of an integer array",
     [](JamBuilder& b) {
         b.symbol(0x19, "I", 0, 8);
         push(b, {0, 1});
         b.op(PSHA, {0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"a compressed array decodes",
     [](JamBuilder& b) {
         b.symbol(0x0E, "B", b.data({0x08, 0x00, 0x00, 0x00, 0x54, 0xAB, 0x54, 0x5B, 0x00}), 9);
         push(b, {56, 63});
         b.op(PSHA, {0});
         printAndExit(b);
     },
     JBIC_SUCCESS, "85"},
    {"a compressed array that ends early",
     [](JamBuilder& b) {
         b.symbol(0x0E, "B", b.data({0x08, 0x00, 0x00, 0x00, 0x54, 0xAB}), 6);
     },
     JBIC_IO_ERROR, ""},
    {"COPY upward",
     [](JamBuilder& b) {
         b.symbol(0x09, "D", 0, 8);
         b.symbol(0x0C, "S", b.data({0x0B}), 8);
         push(b, {7, 4, 3, 0});
         b.op(COPY, {1, 0});
         printByte(b);
     },
     JBIC_SUCCESS, "176"},
    {"COPY with one range reversed",
     [](JamBuilder& b) {
         b.symbol(0x09, "D", 0, 8);
         b.symbol(0x0C, "S", b.data({0x0B}), 8);
         push(b, {3, 0, 0, 3});
         b.op(COPY, {1, 0});
         printByte(b);
     },
     JBIC_SUCCESS, "13"},
    {"COPY with both ranges reversed",
     [](JamBuilder& b) {
         b.symbol(0x09, "D", 0, 8);
         b.symbol(0x0C, "S", b.data({0x0B}), 8);
         push(b, {3, 0, 3, 0});
         b.op(COPY, {1, 0});
         printByte(b);
     },
     JBIC_SUCCESS, "11"},
    {"COPY reversed with unequal lengths",
     [](JamBuilder& b) {
         b.symbol(0x09, "D", 0, 8);
         b.symbol(0x0C, "S", b.data({0x0B}), 8);
         push(b, {4, 0, 0, 3});
         b.op(COPY, {1, 0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"COPY takes the shorter range",
     [](JamBuilder& b) {
         b.symbol(0x09, "D", 0, 8);
         b.symbol(0x0C, "S", b.data({0xFF}), 8);
         push(b, {7, 0, 1, 0});
         b.op(COPY, {1, 0});
         printByte(b);
     },
     JBIC_SUCCESS, "3"},
    {"COPY format 1",
     [](JamBuilder& b) {
         b.symbol(0x09, "D", 0, 8);
         b.symbol(0x0C, "S", b.data({0x0B}), 8);
         push(b, {4, 0, 3});
         b.op(COPY, {1, 0});
         push(b, {0, 8});
         b.op(PSHA, {0});
         printAndExit(b);
     },
     JBIC_SUCCESS, "48", 1},
    {"COPY into a file array in format 1",
     [](JamBuilder& b) {
         b.symbol(0x0C, "D", b.data({0}), 8);
         push(b, {0, 0, 1});
         b.op(COPY, {0, 0});
     },
     JBIC_BOUNDS_ERROR, "", 1},
    {"CMPA over the shortest range",
     [](JamBuilder& b) {
         b.symbol(0x0C, "A", b.data({0x0F}), 8);
         b.symbol(0x0C, "B", b.data({0x07}), 8);
         b.symbol(0x0C, "M", b.data({0xFF}), 8);
         push(b, {7, 0, 2, 0, 7, 0});
         b.op(CMPA, {0, 1, 2});
         printAndExit(b);
     },
     JBIC_SUCCESS, "1"},
    {"CMPA sees a difference under the mask",
     [](JamBuilder& b) {
         b.symbol(0x0C, "A", b.data({0x0F}), 8);
         b.symbol(0x0C, "B", b.data({0x07}), 8);
         b.symbol(0x0C, "M", b.data({0x08}), 8);
         push(b, {7, 0, 7, 0, 7, 0});
         b.op(CMPA, {0, 1, 2});
         printAndExit(b);
     },
     JBIC_SUCCESS, "0"},
    {"CMPA with no bits",
     [](JamBuilder& b) {
         b.symbol(0x0C, "A", b.data({0x0F}), 8);
         push(b, {7, 0, 7, 0, 0, 1});
         b.op(CMPA, {0, 0, 0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"DSC reversed",
     [](JamBuilder& b) {
         b.symbol(0x0C, "S", b.data({0}), 8);
         b.symbol(0x09, "C", 0, 8);
         push(b, {2, 1, 2, 2, 1});
         b.op(DSC, {0, 1});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"EXPV reversed",
     [](JamBuilder& b) {
         b.symbol(0x0C, "S", b.data({0}), 8);
         push(b, {1, 2, 0});
         b.op(EXPV, {b.string("K")});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"DYNA grows and clears",
     [](JamBuilder& b) {
         b.symbol(0x0C, "B", b.data({0xFF}), 8);
         push(b, {16});
         b.op(DYNA, {0});
         push(b, {0, 15});
         b.op(PSHA, {0});
         printAndExit(b);
     },
     JBIC_SUCCESS, "0"},
    {"DYNA never shrinks",
     [](JamBuilder& b) {
         b.symbol(0x0C, "B", b.data({0xFF}), 8);
         push(b, {4});
         b.op(DYNA, {0});
         printByte(b);
     },
     JBIC_SUCCESS, "255"},
    {"DYNA of a scalar",
     [](JamBuilder& b) {
         b.symbol(0x11, "S", 0, 0);
         push(b, {4});
         b.op(DYNA, {0});
     },
     JBIC_BOUNDS_ERROR, ""},
    {"a file array reaching past the file", [](JamBuilder& b) { b.symbol(0x1C, "I", 0, 0x10000); },
     JBIC_IO_ERROR, ""},
};
INSTANTIATE_TEST_SUITE_P(Arrays, JamArrayTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::to_string(info.index); });

TEST_F(JamPlayerTest, AnAllocationRefusedIsOutOfMemory)
{
    gRecording.allocationLimit = 1 << 20;
    const RunResult setUp = run(program([](JamBuilder& b) { b.symbol(0x19, "I", 0, 0x1000000); }));
    EXPECT_EQ(setUp.status, JBIC_OUT_OF_MEMORY);
    gRecording = {};
    gRecording.allocationLimit = 1 << 20;
    const RunResult grown = run(program([](JamBuilder& b) {
        b.symbol(0x19, "I", 0, 1);
        push(b, {0x7FFFFFFF});
        b.op(DYNA, {0});
    }));
    EXPECT_EQ(grown.status, JBIC_OUT_OF_MEMORY);
    EXPECT_EQ(grown.errorAddress, 5);
}

// A device that goes away during an instruction's clocks stops the run before the next one.
TEST_F(JamPlayerTest, CancellationStopsAtTheNextInstruction)
{
    gRecording.cancelAfter = 1;
    const RunResult result = run(program([](JamBuilder& b) {
        b.op(ST, {1});
        b.op(NOP);
        b.op(NOP);
    }));
    EXPECT_EQ(result.status, JBIC_USER_ABORT);
    EXPECT_EQ(result.errorAddress, 5);
    EXPECT_EQ(tmsTrace(), "1111100"
                          "111110");
}

// A stop asked of a run that never clocks ends it too: a loop without end, here.
TEST_F(JamPlayerTest, CancellationEndsARunWithoutJtag)
{
    gRecording.cancelAfter = 3;
    const RunResult result = run(program([](JamBuilder& b) { b.op(JMP, {0}); }));
    EXPECT_EQ(result.status, JBIC_USER_ABORT);
    EXPECT_EQ(result.errorAddress, 0);
}

std::vector<uint8_t> decode(const std::vector<uint8_t>& in, int format)
{
    const auto length = jbi_uncompressed_length(in.data(), in.size());
    if (!length) {
        return {};
    }
    std::vector<uint8_t> out(*length);
    if (jbi_uncompress(in.data(), in.size(), out.data(), *length, format) != JBIC_SUCCESS) {
        return {0xEE};
    }
    return out;
}

TEST(JamUncompress, DecodesTheDocumentedVectorsInBothWindows)
{
    for (const int format : {1, 2}) {
        EXPECT_EQ(decode({0x08, 0x00, 0x00, 0x00, 0x54, 0xAB, 0x54, 0x5B, 0x00}, format),
                  (std::vector<uint8_t>{0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55}));
        EXPECT_EQ(decode({0x05, 0x00, 0x00, 0x00, 0x02, 0x04, 0x06, 0x10, 0x14, 0x00}, format),
                  (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    }
}

TEST(JamUncompress, ClipsACopyAtTheLengthAndEndsWithAShortLiteral)
{
    // Length 5: literal AA 55 AA, then a copy of offset 2 and length 200, clipped at 5.
    const std::vector<uint8_t> clipped = {0x05, 0x00, 0x00, 0x00, 0x54, 0xAB, 0x54, 0x8B, 0x0C};
    EXPECT_EQ(decode(clipped, 2), (std::vector<uint8_t>{0xAA, 0x55, 0xAA, 0x55, 0xAA}));
    const std::vector<uint8_t> data = {1, 2, 3, 4};
    EXPECT_EQ(decode(jamCompress(data, 2), 2), data);
}

TEST(JamUncompress, RefusesACopyBeforeTheOutputAndInputThatEndsEarly)
{
    // A copy first: offset field of 1 bit at i = 0 reads 1, before the output.
    EXPECT_EQ(decode({0x02, 0x00, 0x00, 0x00, 0x03, 0x02}, 2), std::vector<uint8_t>{0xEE});
    EXPECT_EQ(decode({0x08, 0x00, 0x00, 0x00, 0x54, 0xAB, 0x54}, 2), std::vector<uint8_t>{0xEE});
    EXPECT_EQ(decode({0x08, 0x00}, 2), std::vector<uint8_t>{});
}

// The offset field holds min(i, window) in as few bits as it takes; the windows differ by one.
TEST(JamUncompress, OffsetWidthsFollowTheWindow)
{
    for (const size_t i : {1, 2, 3, 4, 8191, 8192, 9000}) {
        for (const int format : {1, 2}) {
            std::vector<uint8_t> data(i + 10);
            std::mt19937 random{unsigned(i)};
            for (size_t k = 0; k < i; ++k) {
                data[k] = uint8_t(random());
            }
            // A repeat of the first byte at position i, as far back as the window allows.
            const size_t window = format == 2 ? 8191 : 8192;
            const size_t offset = std::min(i, window);
            for (size_t k = i; k < data.size(); ++k) {
                data[k] = data[k - offset];
            }
            EXPECT_EQ(decode(jamCompress(data, format), format), data) << i << " " << format;
        }
    }
}

TEST(JamUncompress, RoundTripsFourMebibytes)
{
    std::vector<uint8_t> data(4 << 20);
    std::mt19937 random(7);
    for (size_t k = 0; k < data.size(); ++k) {
        data[k] = random() % 4 == 0 ? uint8_t(random()) : data[k > 300 ? k - 300 : 0];
    }
    EXPECT_EQ(decode(jamCompress(data, 2), 2), data);
}

} // namespace
