#include "JamBuilder.h"
#include "JamFile.h"
#include "JamPlayer.h"
#include "JamTexts.h"
#include "JamUncompress.h"
#include "RecordingStubs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace JamOp;

namespace {

struct RunResult
{
    JBI_RETURN_TYPE status;
    long errorAddress;
    int exitCode;
    int format;
};

class JamPlayerTest : public ::testing::Test
{
protected:
    void SetUp() override { gRecording = {}; }
    void TearDown() override
    {
        EXPECT_EQ(gRecording.liveAllocations, 0);
        gRecording = {};
    }

    static RunResult run(const std::vector<uint8_t>& file, const char* action = "program",
                         const char* const* init_list = nullptr)
    {
        RunResult result{};
        result.status = jbi_execute(file.data(), int64_t(file.size()), nullptr, 0, action, init_list, true,
                                    &result.errorAddress, &result.exitCode, &result.format);
        return result;
    }

    // TMS of each call as a string of 0 and 1.
    static std::string tmsTrace()
    {
        std::string trace;
        for (const JtagCall& call : gRecording.calls) {
            trace += char('0' + call.tms);
        }
        return trace;
    }
};

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

} // namespace
