#include <Darwin/Log.h>
#include <DarwinTesting/LogCapture.h>
#include <os/log.h>

#include <gtest/gtest.h>

#include <syslog.h>

#include <cstdarg>
#include <regex>
#include <string>
#include <vector>

using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;

namespace {

struct Decorated
{
    const char* fName;
    std::function<void()> fLog;
    const char* fText;
};

class OSLogFormats : public testing::TestWithParam<Decorated>
{};

TEST_P(OSLogFormats, DropDecorationsBeforeFormatting)
{
    LogCapture capture;
    GetParam().fLog();
    EXPECT_EQ(capture.texts(LogSource::OSLog), std::vector<std::string>{GetParam().fText});
}

INSTANTIATE_TEST_SUITE_P(
    Darwin, OSLogFormats,
    testing::Values(
        Decorated{"Public", [] { os_log(OS_LOG_DEFAULT, "%{public}s", "plug-in ready"); }, "plug-in ready"},
        Decorated{"Plain", [] { os_log(OS_LOG_DEFAULT, "%s %d", "count", 3); }, "count 3"},
        Decorated{"Private", [] { os_log_error(OS_LOG_DEFAULT, "id %{private}d", 42); }, "id 42"},
        Decorated{"WithFlags", [] { os_log(OS_LOG_DEFAULT, "[%{public}-5s]", "ab"); }, "[ab   ]"},
        Decorated{"Percent", [] { os_log(OS_LOG_DEFAULT, "100%% %{public}s", "done"); }, "100% done"},
        Decorated{"NoArguments", [] { os_log_fault(OS_LOG_DEFAULT, "no arguments"); }, "no arguments"}),
    [](const testing::TestParamInfo<Decorated>& info) { return info.param.fName; });

TEST(OSLog, TypesAndHandlesReachTheRecord)
{
    os_log_t log = os_log_create("com.vork.tide", "engine");
    EXPECT_EQ(os_log_create("com.vork.tide", "engine"), log);
    EXPECT_NE(os_log_create("com.vork.tide", "other"), log);

    LogCapture capture;
    os_log_with_type(log, OS_LOG_TYPE_ERROR, "e");
    os_log(OS_LOG_DEFAULT, "d");
    std::vector<DarwinTesting::LogRecord> records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].fType, OS_LOG_TYPE_ERROR);
    EXPECT_EQ(records[0].fSubsystem, "com.vork.tide");
    EXPECT_EQ(records[0].fCategory, "engine");
    EXPECT_EQ(records[1].fType, OS_LOG_TYPE_DEFAULT);
    EXPECT_EQ(records[1].fSubsystem, "");
}

TEST(OSLog, InfoAndDebugOnlyOnceEnabled)
{
    EXPECT_TRUE(os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_DEFAULT));
    EXPECT_TRUE(os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_ERROR));
    EXPECT_TRUE(os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_FAULT));
    EXPECT_FALSE(os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_INFO));
    EXPECT_FALSE(os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_DEBUG));

    LogCapture capture;
    os_log_info(OS_LOG_DEFAULT, "info dropped");
    os_log_debug(OS_LOG_DEFAULT, "debug dropped");
    DarwinTesting::setLogTypeEnabled(OS_LOG_TYPE_INFO, true);
    os_log_info(OS_LOG_DEFAULT, "info kept");
    os_log_debug(OS_LOG_DEFAULT, "debug dropped");
    DarwinTesting::setLogTypeEnabled(OS_LOG_TYPE_INFO, false);
    EXPECT_EQ(capture.texts(LogSource::OSLog), std::vector<std::string>{"info kept"});
}

TEST(OSLog, WithoutCaptureWritesOneLineWithProgramAndType)
{
    testing::internal::CaptureStderr();
    os_log_error(OS_LOG_DEFAULT, "%{public}s", "device gone");
    std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, std::string(program_invocation_short_name) + "[" + std::to_string(getpid()) +
                           "] Error: device gone\n");
}

// As the log facility does: a variadic front end over vsyslog.
void logError(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vsyslog(LOG_ERR, format, arguments);
    va_end(arguments);
}

TEST(Syslog, CaptureTakesOpenlogIdentityAndVsyslogRecords)
{
    LogCapture capture;
    openlog("VORK_Korvan_PLUGIN", LOG_CONS, LOG_USER);
    logError("%s (%s:%d %s)\n", "started", "Plugin.cpp", 12, "");
    syslog(LOG_WARNING | LOG_LOCAL0, "rate %d", 48000);
    closelog();
    syslog(LOG_NOTICE, "after close");

    std::vector<DarwinTesting::LogRecord> records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].fSource, LogSource::Syslog);
    EXPECT_EQ(records[0].fIdentity, "VORK_Korvan_PLUGIN");
    EXPECT_EQ(records[0].fOption, LOG_CONS);
    EXPECT_EQ(records[0].fFacility, LOG_USER);
    EXPECT_EQ(records[0].fPriority, LOG_ERR);
    EXPECT_EQ(records[0].fText, "started (Plugin.cpp:12 )\n");
    EXPECT_EQ(records[1].fFacility, LOG_LOCAL0);
    EXPECT_EQ(records[1].fPriority, LOG_WARNING);
    EXPECT_EQ(records[1].fText, "rate 48000");
    EXPECT_EQ(records[2].fIdentity, program_invocation_short_name);
    EXPECT_EQ(records[2].fText, "after close");
}

TEST(Syslog, WithoutCaptureGoesOnToTheCLibrary)
{
    // LOG_PERROR makes the C library echo the message on standard error.
    testing::internal::CaptureStderr();
    openlog("tide-test", LOG_PERROR, LOG_USER);
    syslog(LOG_ERR, "reached the C library");
    closelog();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("reached the C library"), std::string::npos);
}

TEST(NSLogLine, CapturedOrWrittenWithDateProgramAndIds)
{
    {
        LogCapture capture;
        DarwinLog::writeNSLogLine("Current device driving display");
        EXPECT_EQ(capture.texts(LogSource::NSLog),
                  std::vector<std::string>{"Current device driving display"});
    }
    testing::internal::CaptureStderr();
    DarwinLog::writeNSLogLine("awakeFromNib");
    std::string written = testing::internal::GetCapturedStderr();
    std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} " +
                    std::string(program_invocation_short_name) + "\\[" + std::to_string(getpid()) +
                    ":\\d+\\] awakeFromNib\n");
    EXPECT_TRUE(std::regex_match(written, line)) << written;
}

TEST(LogCapture, NestedCaptureTakesTheMessagesUntilItEnds)
{
    LogCapture outer;
    {
        LogCapture inner;
        os_log(OS_LOG_DEFAULT, "inner");
        EXPECT_EQ(inner.texts(LogSource::OSLog), std::vector<std::string>{"inner"});
    }
    os_log(OS_LOG_DEFAULT, "outer");
    EXPECT_EQ(outer.texts(LogSource::OSLog), std::vector<std::string>{"outer"});
}

} // namespace
