// The player's test fixture: runs files on the recording stubs.
#pragma once

#include "JamBuilder.h"
#include "JamPlayer.h"
#include "RecordingStubs.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

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
        EXPECT_EQ(gRecording.liveAllocations, 0) << "storage left allocated after the run";
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

    // A file whose code the function writes; format 2 files run it as action "PROGRAM".
    static std::vector<uint8_t> program(const std::function<void(JamBuilder&)>& code, int format = 2)
    {
        JamBuilder builder(format);
        code(builder);
        return builder.build();
    }

    // The TMS of every primitive call, as '0' and '1'.
    static std::string tmsTrace()
    {
        std::string trace;
        for (const JtagCall& call : gRecording.calls) {
            trace += char('0' + call.tms);
        }
        return trace;
    }

    static std::string message() { return gRecording.messages.empty() ? "" : gRecording.messages.back(); }
};
