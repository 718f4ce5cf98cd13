#include "JamFile.h"
#include "JamTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace JamOp;

namespace {

std::vector<JtagCall> exampleCalls()
{
    std::vector<JtagCall> calls;
    const auto add = [&](const std::string& tms, bool read = false, const std::string& tdi = "") {
        for (size_t i = 0; i < tms.size(); ++i) {
            calls.push_back({tms[i] - '0', i < tdi.size() && tdi[i] == '1', read});
        }
    };
    add("111110");                          // reset sequence
    add("0");                               // already in IDLE
    add("1100");                            // IDLE to Shift-IR
    add("0000000001", false, "0110000000"); // IR 0x006, bit 0 first
    add("0");                               // Exit1-IR to Pause-IR
    add("110");                             // Pause-IR to IDLE
    add("100");                             // IDLE to Shift-DR
    add(std::string(31, '0') + "1", true);  // 32 captured bits
    add("0");                               // Exit1-DR to Pause-DR
    add("110");                             // Pause-DR to IDLE
    add("111110");                          // end-of-run reset
    return calls;
}

class JamExampleTest : public JamPlayerTest, public ::testing::WithParamInterface<int>
{};

TEST_P(JamExampleTest, ReadsTheIdcodeWithTheDocumentedClocks)
{
    const std::vector<uint8_t> file = jamIdcodeExample(GetParam());
    uint16_t expected = 0;
    uint16_t actual = 0;
    EXPECT_EQ(jbi_check_crc(file.data(), int64_t(file.size()), &expected, &actual), JBIC_SUCCESS);
    EXPECT_EQ(expected, GetParam() == 2 ? 0xA6FB : 0x9F3A);
    EXPECT_EQ(actual, expected);

    int format = 0;
    int actions = 0;
    int procedures = 0;
    ASSERT_EQ(jbi_get_file_info(file.data(), int64_t(file.size()), &format, &actions, &procedures),
              JBIC_SUCCESS);
    EXPECT_EQ(format, GetParam());
    if (GetParam() == 2) {
        EXPECT_EQ(actions, 1);
        EXPECT_EQ(procedures, 1);
    }

    gRecording.answer(0x12345678, 32);
    const RunResult result = run(file);
    EXPECT_EQ(result.status, JBIC_SUCCESS);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.format, GetParam());
    EXPECT_EQ(gRecording.messages, std::vector<std::string>{"IDCODE = 305419896"});
    EXPECT_EQ(gRecording.calls, exampleCalls());
}

TEST_P(JamExampleTest, CapturedBitThirtyOneIsASignBit)
{
    gRecording.answer(0x87654321, 32);
    EXPECT_EQ(run(jamIdcodeExample(GetParam())).status, JBIC_SUCCESS);
    EXPECT_EQ(gRecording.messages, std::vector<std::string>{"IDCODE = -2023406815"});
}

INSTANTIATE_TEST_SUITE_P(Formats, JamExampleTest, ::testing::Values(1, 2));

TEST_F(JamPlayerTest, UnknownActionRunsNothing)
{
    const RunResult result = run(jamIdcodeExample(2), "VERIFY");
    EXPECT_EQ(result.status, JBIC_ACTION_NOT_FOUND);
    EXPECT_EQ(result.errorAddress, 0);
    EXPECT_TRUE(gRecording.calls.empty());
}

TEST_F(JamPlayerTest, ChangedDescriptionFailsTheCrcButRunsTheSame)
{
    std::vector<uint8_t> file = jamIdcodeExample(2);
    file[0x65] ^= 0x01;
    uint16_t expected = 0;
    uint16_t actual = 0;
    EXPECT_EQ(jbi_check_crc(file.data(), int64_t(file.size()), &expected, &actual), JBIC_CRC_ERROR);
    EXPECT_EQ(expected, 0xA6FB);
    EXPECT_NE(actual, 0xA6FB);
    gRecording.answer(0x12345678, 32);
    EXPECT_EQ(run(file).status, JBIC_SUCCESS);
    EXPECT_EQ(gRecording.calls, exampleCalls());
}

TEST_F(JamPlayerTest, ProcedureAttributeDecidesWhetherItRuns)
{
    for (const auto& [attribute, runs] : {std::pair{uint8_t(0x01), false}, std::pair{uint8_t(0x02), true}}) {
        gRecording = {};
        gRecording.answer(0x12345678, 32);
        std::vector<uint8_t> file = jamIdcodeExample(2);
        file[0x58] = attribute;
        const uint16_t crc = jbi_crc16(file.data(), 0xDC);
        file[0xDC] = uint8_t(crc >> 8);
        file[0xDD] = uint8_t(crc);
        uint16_t expected = 0;
        uint16_t actual = 0;
        EXPECT_EQ(jbi_check_crc(file.data(), int64_t(file.size()), &expected, &actual), JBIC_SUCCESS);
        const RunResult result = run(file);
        EXPECT_EQ(result.status, JBIC_SUCCESS);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(gRecording.calls.size(), runs ? 70u : 0u) << int(attribute);
        EXPECT_EQ(gRecording.messages.size(), runs ? 1u : 0u) << int(attribute);
    }
}

TEST_F(JamPlayerTest, CrcKnownAnswer)
{
    EXPECT_EQ(jbi_crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x906E);
}

std::vector<uint8_t> withMagicAndLength(uint32_t magic, size_t length)
{
    std::vector<uint8_t> file(length, 0);
    for (int i = 0; i < 4; ++i) {
        file[size_t(i)] = uint8_t(magic >> (24 - 8 * i));
    }
    return file;
}

TEST_F(JamPlayerTest, RecognisesFilesLongerThan52BytesWithAWholeMagic)
{
    const struct
    {
        uint32_t magic;
        size_t length;
        int format; // 0: not recognised
    } rows[] = {{0x4A414D00, 52, 0},  {0x4A414D00, 53, 1},  {0x4A414D01, 68, 2}, {0x4A414D01, 52, 0},
                {0x4A414D02, 100, 0}, {0x4A414D81, 100, 0}, {0x4B414D00, 100, 0}};
    for (const auto& row : rows) {
        const std::vector<uint8_t> file = withMagicAndLength(row.magic, row.length);
        int format = 0;
        int actions = -1;
        int procedures = -1;
        const JBI_RETURN_TYPE info =
            jbi_get_file_info(file.data(), int64_t(file.size()), &format, &actions, &procedures);
        EXPECT_EQ(info, row.format ? JBIC_SUCCESS : JBIC_IO_ERROR)
            << std::hex << row.magic << " " << row.length;
        EXPECT_EQ(format, row.format);
        if (!row.format) {
            uint16_t expected = 0;
            uint16_t actual = 0;
            EXPECT_EQ(jbi_check_crc(file.data(), int64_t(file.size()), &expected, &actual), JBIC_IO_ERROR);
            EXPECT_EQ(run(file).status, JBIC_IO_ERROR);
        }
    }
}

TEST_F(JamPlayerTest, AFormatTwoFileShorterThanItsHeaderIsRecognisedButNotUsed)
{
    std::vector<uint8_t> file = jamIdcodeExample(2);
    file.resize(60);
    int format = 0;
    int actions = 0;
    int procedures = 0;
    EXPECT_EQ(jbi_get_file_info(file.data(), int64_t(file.size()), &format, &actions, &procedures),
              JBIC_IO_ERROR);
    EXPECT_EQ(format, 2);
    EXPECT_EQ(run(file).status, JBIC_IO_ERROR);
    EXPECT_TRUE(gRecording.calls.empty());
}

TEST_F(JamPlayerTest, CrcFieldMustFitInTheFile)
{
    const std::vector<uint8_t> example = jamIdcodeExample(2);
    for (const auto& [offset, status] :
         {std::pair{example.size(), JBIC_IO_ERROR}, std::pair{example.size() - 1, JBIC_IO_ERROR},
          std::pair{example.size() - 2, JBIC_SUCCESS}}) {
        std::vector<uint8_t> file = example;
        file[0x2B] = uint8_t(offset);
        if (status == JBIC_SUCCESS) {
            const uint16_t crc = jbi_crc16(file.data(), offset);
            file[offset] = uint8_t(crc >> 8);
            file[offset + 1] = uint8_t(crc);
        }
        uint16_t expected = 0;
        uint16_t actual = 0;
        EXPECT_EQ(jbi_check_crc(file.data(), int64_t(file.size()), &expected, &actual), status) << offset;
        EXPECT_EQ(actual, jbi_crc16(file.data(), std::min(offset, file.size()))) << offset;
    }
}

TEST_F(JamPlayerTest, OffsetsOutsideTheFileAreRefused)
{
    std::vector<uint8_t> symbolsBeyond = jamIdcodeExample(2);
    symbolsBeyond[0x1B] = 0xF0;
    EXPECT_EQ(run(symbolsBeyond).status, JBIC_IO_ERROR);

    // Header offsets and table extents: each byte of a word set high.
    for (const size_t at : {0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20, 0x24, 0x30, 0x34, 0x3C, 0x40}) {
        std::vector<uint8_t> file = jamIdcodeExample(2);
        file[at] = 0x7F;
        EXPECT_EQ(run(file).status, JBIC_IO_ERROR) << at;
    }
    EXPECT_TRUE(gRecording.calls.empty());

    const RunResult farString = run(program([](JamBuilder& b) {
        b.op(NOP);
        b.op(PSTR, {0x100000});
    }));
    EXPECT_EQ(farString.status, JBIC_BOUNDS_ERROR);
    EXPECT_EQ(farString.errorAddress, 1);

    JamBuilder badIndex;
    badIndex.action("PROGRAM", 5);
    badIndex.procedure("P", 0, 0, 0);
    badIndex.op(PSH0);
    badIndex.op(EXIT);
    EXPECT_EQ(run(badIndex.build()).status, JBIC_BOUNDS_ERROR);

    JamBuilder badCode;
    badCode.action("PROGRAM", badCode.procedure("P", 0, 0, 0x40));
    badCode.op(PSH0);
    badCode.op(EXIT);
    const RunResult badStart = run(badCode.build());
    EXPECT_EQ(badStart.status, JBIC_BOUNDS_ERROR);
    EXPECT_EQ(badStart.errorAddress, 0x40);

    const RunResult runsOff = run(program([](JamBuilder& b) { b.op(NOP); }));
    EXPECT_EQ(runsOff.status, JBIC_BOUNDS_ERROR);
    EXPECT_EQ(runsOff.errorAddress, 1);

    std::vector<uint8_t> cutOperand = program([](JamBuilder& b) { b.raw({PSHL, 0, 0}); });
    EXPECT_EQ(run(cutOperand).status, JBIC_BOUNDS_ERROR);
    EXPECT_TRUE(gRecording.calls.empty());
}

TEST_F(JamPlayerTest, ActionNamesMatchWholeIgnoringCase)
{
    const struct
    {
        const char* action;
        JBI_RETURN_TYPE status;
    } rows[] = {{"program", JBIC_SUCCESS},           {"PROGRAM", JBIC_SUCCESS},
                {"ProGram", JBIC_SUCCESS},           {"PROGRA", JBIC_ACTION_NOT_FOUND},
                {"PROGRAMX", JBIC_ACTION_NOT_FOUND}, {"", JBIC_ACTION_NOT_FOUND},
                {nullptr, JBIC_ACTION_NOT_FOUND}};
    for (const auto& row : rows) {
        gRecording = {};
        EXPECT_EQ(run(jamIdcodeExample(2), row.action).status, row.status)
            << (row.action ? row.action : "null");
        EXPECT_EQ(gRecording.calls.empty(), row.status != JBIC_SUCCESS);
    }
    EXPECT_EQ(run(jamIdcodeExample(1), nullptr).status, JBIC_SUCCESS);
}

// Procedures 1, 2 and 3 each print their letter; procedure 0 prints Z.
std::vector<uint8_t> chain(uint32_t first, std::vector<std::pair<uint32_t, uint8_t>> links,
                           bool exitInFirst = false)
{
    JamBuilder b;
    const char* names[] = {"PZ", "PA", "PB", "PC"};
    uint32_t code[4];
    for (int i = 0; i < 4; ++i) {
        code[i] = b.here();
        b.op(PSTR, {b.string(std::string(1, "ZABC"[i]))});
        b.op(PRNT);
        if (exitInFirst && uint32_t(i) == first) {
            b.op(PSHL, {3});
            b.op(EXIT);
        }
        b.op(RET);
    }
    for (int i = 0; i < 4; ++i) {
        b.procedure(names[i], links[size_t(i)].first, links[size_t(i)].second, code[i]);
    }
    b.action("PROGRAM", first);
    return b.build();
}

TEST_F(JamPlayerTest, ProcedureChainsRunWhatTheirAttributesAndTheListSay)
{
    const char* forceOptionalOn[] = {"pa=1", nullptr};
    const char* forceRecommendedOff[] = {"PB=0", nullptr};
    const char* forceAlwaysOff[] = {"PC=0", nullptr};
    const struct
    {
        const char* name;
        std::vector<uint8_t> file;
        const char* const* initList;
        std::vector<std::string> printed;
        int exitCode;
    } rows[] = {
        {"optional skipped", chain(1, {{0, 0}, {2, 1}, {3, 2}, {0, 0}}), nullptr, {"B", "C"}, 0},
        {"optional forced on",
         chain(1, {{0, 0}, {2, 1}, {3, 2}, {0, 0}}),
         forceOptionalOn,
         {"A", "B", "C"},
         0},
        {"recommended forced off", chain(1, {{0, 0}, {2, 1}, {3, 2}, {0, 0}}), forceRecommendedOff, {"C"}, 0},
        {"always ignores the list",
         chain(1, {{0, 0}, {2, 1}, {3, 2}, {0, 0}}),
         forceAlwaysOff,
         {"B", "C"},
         0},
        {"all skipped", chain(1, {{0, 0}, {2, 1}, {0, 1}, {0, 0}}), nullptr, {}, 0},
        {"first is an optional 0", chain(0, {{1, 1}, {2, 0}, {0, 0}, {0, 0}}), nullptr, {}, 0},
        {"first is a running 0", chain(0, {{1, 0}, {0, 0}, {0, 0}, {0, 0}}), nullptr, {"Z", "A"}, 0},
        {"exit in the first of two", chain(1, {{0, 0}, {2, 0}, {0, 0}, {0, 0}}, true), nullptr, {"A"}, 3},
        {"a loop of skipped ones ends", chain(1, {{0, 0}, {2, 1}, {1, 1}, {0, 0}}), nullptr, {}, 0},
    };
    for (const auto& row : rows) {
        gRecording = {};
        const RunResult result = run(row.file, "program", row.initList);
        EXPECT_EQ(result.status, JBIC_SUCCESS) << row.name;
        EXPECT_EQ(result.exitCode, row.exitCode) << row.name;
        EXPECT_EQ(gRecording.messages, row.printed) << row.name;
        EXPECT_TRUE(gRecording.calls.empty()) << row.name;
    }
}

TEST_F(JamPlayerTest, FormatOneAppliesTheInitialisationListToSymbols)
{
    const char* list[] = {"do_program=12x", "OTHER=5", nullptr};
    const std::vector<uint8_t> file = program(
        [](JamBuilder& b) {
            const uint32_t flag = b.symbol(0x15, "DO_PROGRAM", 0, 0);
            b.op(PSHV, {flag});
            b.op(PINT);
            b.op(PRNT);
            b.op(PSH0);
            b.op(EXIT);
        },
        1);
    EXPECT_EQ(run(file, nullptr, list).status, JBIC_SUCCESS);
    EXPECT_EQ(message(), "12");
}

TEST_F(JamPlayerTest, FormatTwoWithoutSymbolsRuns)
{
    const RunResult result = run(program([](JamBuilder& b) {
        b.op(PSHL, {4});
        b.op(EXIT);
    }));
    EXPECT_EQ(result.status, JBIC_SUCCESS);
    EXPECT_EQ(result.exitCode, 4);
}

TEST_F(JamPlayerTest, FormatOneReturnWithAnEmptyStackIsAStackError)
{
    const RunResult result = run(program([](JamBuilder& b) { b.op(NOP), b.op(RET); }, 1));
    EXPECT_EQ(result.status, JBIC_STACK_OVERFLOW);
    EXPECT_EQ(result.errorAddress, 1);
}

} // namespace
