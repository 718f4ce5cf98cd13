#include "Log.h"
#include "LogFileSink.h"
#include "Profiling.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>

namespace {

class Profiler : public LogTesting::LogFileSink
{
protected:
    // Makes the next measurement report, without waiting for the interval to pass.
    static void intervalPassed(Profiling::ProfilerState& state)
    {
        state.fLastReport -= state.fReportInterval + 1;
    }

    static void expectStartedOver(const Profiling::ProfilerState& state)
    {
        EXPECT_EQ(state.fCount, 0);
        EXPECT_EQ(state.fTotal, 0);
        EXPECT_EQ(state.fMax, 0);
        EXPECT_EQ(state.fMin, 1e7);
    }
};

TEST_F(Profiler, ReportOfOneMeasurement)
{
    Profiling::ProfilerState state("region", 5);
    intervalPassed(state);
    {
        Profiling measured(state);
    }
    const std::regex report(
        "INFO:  {19}region \\(s\\) max ([0-9]+\\.[0-9]{4}) min ([0-9]+\\.[0-9]{4}) \\(avg\\. "
        "([0-9]+\\.[0-9]{4}) of 1 times, total ([0-9]+\\.[0-9]{4})\\) \\(Profiling\\.cpp:[0-9]+ \\)\n");
    std::smatch match;
    const std::string text = written();
    ASSERT_TRUE(std::regex_match(text, match, report)) << text;
    EXPECT_EQ(match[3], match[4]) << "average and total of one measurement";
    EXPECT_EQ(match[1], match[2]);
    expectStartedOver(state);
}

TEST_F(Profiler, MeasurementsAddUpUntilTheInterval)
{
    Profiling::ProfilerState state("region", 1000);
    for (int i = 0; i < 3; ++i) {
        Profiling measured(state);
    }
    EXPECT_EQ(state.fCount, 3);
    EXPECT_GE(state.fMax, state.fMin);
    EXPECT_LT(state.fMin, 1e7);
    EXPECT_EQ(written(), "");

    intervalPassed(state);
    {
        Profiling measured(state);
    }
    EXPECT_THAT(written(), testing::HasSubstr(" of 4 times, total "));
    expectStartedOver(state);
}

TEST_F(Profiler, AboveInfoNothingIsWrittenButTheStateStartsOver)
{
    Log::SetLevel(Log::Notice);
    Profiling::ProfilerState state("region", 5);
    intervalPassed(state);
    {
        Profiling measured(state);
    }
    EXPECT_EQ(written(), "");
    expectStartedOver(state);
}

TEST_F(Profiler, LongNamesAreCut)
{
    const std::string name(200, 'n');
    Profiling::ProfilerState state(name.c_str(), 5);
    EXPECT_EQ(std::strlen(state.fName), 127u);
    EXPECT_EQ(std::string(state.fName), name.substr(0, 127));
}

} // namespace
