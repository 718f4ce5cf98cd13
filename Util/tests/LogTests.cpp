#include "Log.h"
#include "LogFileSink.h"

#include <DarwinTesting/LogCapture.h>
#include <boost/assert.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <stdexcept>
#include <string>
#include <syslog.h>

using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using testing::EndsWith;
using testing::StartsWith;

namespace {

using LogSink = LogTesting::LogFileSink;

void undecorated(Log::Level level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Log::details::Log(level, format, arguments);
    va_end(arguments);
}

TEST_F(LogSink, ExactLines)
{
    struct Row
    {
        Log::Level fLevel;
        bool fColor;
        const char* fFile;
        const char* fFunction;
        const char* fExpected;
    };
    const Row rows[] = {
        {Log::Warn, false, "f.cpp", "", "WARN:  msg (f.cpp:12 )\n"},
        {Log::Warn, true, "f.cpp", "", "\33[22;33mWARN: \33[0m \33[1mmsg\33[0m (f.cpp:12 )\n"},
        {Log::Error, true, "f.cpp", "", "\33[22;31mERROR:\33[0m \33[1mmsg\33[0m (f.cpp:12 )\n"},
        {Log::Fatal, true, "f.cpp", "", "\33[1;31mFATAL:\33[0m \33[1mmsg\33[0m (f.cpp:12 )\n"},
        {Log::Info, true, "f.cpp", "", "INFO: \33[0m \33[1mmsg\33[0m (f.cpp:12 )\n"},
        {Log::All, false, "f.cpp", "", "OTHER: msg (f.cpp:12 )\n"},
        {Log::None, false, "f.cpp", "", "OTHER: msg (f.cpp:12 )\n"},
        {Log::Debug, false, "f.cpp", "", "DEBUG: msg (f.cpp:12 )\n"},
        {Log::Info, false, "f.cpp", "", "INFO:  msg (f.cpp:12 )\n"},
        {Log::Notice, false, "f.cpp", "", "NOTE:  msg (f.cpp:12 )\n"},
        {Log::Error, false, "f.cpp", "", "ERROR: msg (f.cpp:12 )\n"},
        {Log::Fatal, false, "f.cpp", "", "FATAL: msg (f.cpp:12 )\n"},
        {Log::Warn, false, "src/dir/f.cpp", "fn", "WARN:  msg (f.cpp:12 fn)\n"},
        {Log::Warn, false, "a.cpp", "", "WARN:  msg (a.cpp:12 )\n"},
        {Log::Warn, false, "x/y/", "", "WARN:  msg (y/:12 )\n"},
        {Log::Warn, false, "50%s.cpp", "%n", "WARN:  msg (50%s.cpp:12 %n)\n"},
    };
    for (const Row& row : rows) {
        Log::UseColor(row.fColor);
        const long start = std::ftell(fFile);
        Log::details::Log(row.fLevel, row.fFile, 12, row.fFunction, "%s", "msg");
        EXPECT_EQ(written().substr(std::size_t(start)), row.fExpected);
        std::fseek(fFile, 0, SEEK_END);
    }
}

TEST_F(LogSink, VerboseLinesCarryTheMilliseconds)
{
    Log::SetVerbose(true);
    Log::details::Log(Log::Warn, "f.cpp", 12, "", "msg %d", 5);
    EXPECT_TRUE(std::regex_match(written(), std::regex("WARN:  [ 0-9]{5}[0-9] ms msg 5 \\(f\\.cpp:12 \\)\n")))
        << written();
}

TEST_F(LogSink, CallersTextIsNeverReadAsAFormat)
{
    const std::string longArgument(6000, 'a');
    Log::details::Log(Log::Warn, "f.cpp", 12, "", "100%% of %s", longArgument.c_str());
    Log::details::Log(Log::Warn, "f.cpp", 13, "", "%s", "50%s%n%%");
    const std::string text = written();
    const std::size_t firstEnd = text.find('\n') + 1;
    const std::string first = text.substr(0, firstEnd);
    EXPECT_THAT(first, StartsWith("WARN:  100% of aaaa"));
    EXPECT_THAT(first, EndsWith("a (f.cpp:12 )\n"));
    EXPECT_EQ(text.substr(firstEnd), "WARN:  50%s%n%% (f.cpp:13 )\n");
}

TEST_F(LogSink, ThresholdDecidesAtTheCallSite)
{
    int formatted = 0;
    auto argument = [&formatted] { return ++formatted; };
    Log::SetLevel(Log::None);
    for (int level = Log::All; level < Log::None; ++level) {
        TIDE_LOG(Log::Level(level), "level %d", argument());
    }
    EXPECT_EQ(written(), "");
    EXPECT_EQ(formatted, 0);

    Log::SetLevel(Log::All);
    for (int level = Log::All; level <= Log::None; ++level) {
        TIDE_LOG(Log::Level(level), "level %d", argument());
    }
    EXPECT_EQ(formatted, 8);
    const std::string text = written();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 8);
}

TEST_F(LogSink, ToLevel)
{
    const std::pair<const char*, Log::Level> names[] = {
        {"all", Log::All},   {"debug", Log::Debug}, {"info", Log::Info},   {"notice", Log::Notice},
        {"warn", Log::Warn}, {"error", Log::Error}, {"fatal", Log::Fatal}, {"none", Log::None},
    };
    for (const auto& [name, level] : names) {
        EXPECT_EQ(Log::ToLevel(name), level) << name;
    }
    EXPECT_EQ(written(), "");

    Log::SetLevel(Log::Error);
    EXPECT_EQ(Log::ToLevel("Warn"), Log::All);
    EXPECT_EQ(written(), "");

    Log::SetLevel(Log::Warn);
    EXPECT_EQ(Log::ToLevel("Warn"), Log::All);
    EXPECT_THAT(written(), StartsWith("WARN:  unknown log level Warn (Log.cpp:"));
}

TEST_F(LogSink, UndecoratedTextAsItStands)
{
    undecorated(Log::Error, "raw %d%%\n", 5);
    EXPECT_EQ(written(), "raw 5%\n");
}

TEST_F(LogSink, SyslogSink)
{
    LogCapture capture;
    Log::UseColor(true);
    Log::UseSyslog("VORK_Korvan_PLUGIN");
    for (int level = Log::All; level <= Log::None; ++level) {
        Log::details::Log(Log::Level(level), "dir/f.cpp", 12, "", "msg %d", level);
    }
    undecorated(Log::Warn, "raw %d\n", 9);

    const auto records = capture.records();
    ASSERT_EQ(records.size(), 9u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].fSource, LogSource::Syslog);
        EXPECT_EQ(records[i].fIdentity, "VORK_Korvan_PLUGIN");
        EXPECT_EQ(records[i].fOption, LOG_CONS);
        EXPECT_EQ(records[i].fFacility, LOG_USER);
        EXPECT_EQ(records[i].fPriority, LOG_ERR);
        if (i < 8) {
            EXPECT_EQ(records[i].fText, " msg " + std::to_string(i) + " (f.cpp:12 )\n");
        }
    }
    EXPECT_EQ(records[8].fText, "raw 9\n");
    EXPECT_EQ(written(), "");
}

TEST_F(LogSink, LogErrorAndLogWarningGoStraightToSyslog)
{
    LogCapture capture;
    Log::SetLevel(Log::None);
    LogError("error %d", 1);
    LogWarning("warning %s", "two");
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].fText, "error 1");
    EXPECT_EQ(records[0].fPriority, LOG_ERR);
    EXPECT_EQ(records[1].fText, "warning two");
    EXPECT_EQ(records[1].fPriority, LOG_WARNING);
    EXPECT_EQ(written(), "");
}

TEST_F(LogSink, SetLogfile)
{
    char path[] = "/tmp/tide-log-XXXXXX";
    const int descriptor = mkstemp(path);
    ASSERT_GE(descriptor, 0);
    close(descriptor);

    testing::internal::CaptureStdout();
    Log::SetLogfile(path);
    const std::string announced = testing::internal::GetCapturedStdout();
    EXPECT_EQ(announced, std::string("Logging to ") + path + "\n");
    Log::details::Log(Log::Warn, "f.cpp", 12, "", "msg");
    FILE* opened = Log::details::gFile;

    std::string contents;
    FILE* file = std::fopen(path, "r");
    ASSERT_NE(file, nullptr);
    for (int c; (c = std::fgetc(file)) != EOF;) {
        contents.push_back(char(c));
    }
    std::fclose(file);
    EXPECT_EQ(contents, "*********************************\nWARN:  msg (f.cpp:12 )\n");

    testing::internal::CaptureStdout();
    Log::SetLogfile("/nonexistent-tide-dir/log.txt");
    Log::details::Log(Log::Warn, "f.cpp", 13, "", "msg");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARN:  msg (f.cpp:13 )\n");
    std::fclose(opened);
    std::remove(path);
}

} // namespace

namespace LogScopeTrace {

struct Device
{
    virtual ~Device() = default;
    virtual void sleep(bool fail)
    {
        TIDE_LOG_SCOPE();
        if (fail) {
            throw std::runtime_error("sleep failed");
        }
    }
};

} // namespace LogScopeTrace

namespace {

TEST_F(LogSink, ScopeTraceOnEveryWayOut)
{
    LogScopeTrace::Device device;
    device.sleep(false);
    EXPECT_THROW(device.sleep(true), std::runtime_error);
    const std::regex line(
        "INFO:  (->|<-)virtual void LogScopeTrace::Device::sleep\\(bool\\) \\(LogTests\\.cpp:[0-9]+ \\)");
    const std::string text = written();
    std::vector<std::string> directions;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
        directions.push_back((*it)[1]);
    }
    EXPECT_EQ(directions, (std::vector<std::string>{"->", "<-", "->", "<-"})) << text;

    Log::SetLevel(Log::Notice);
    const std::string before = written();
    device.sleep(false);
    EXPECT_EQ(written(), before);
}

TEST_F(LogSink, BoostAssertionsAreLoggedAndExecutionGoesOn)
{
    Log::SetLevel(Log::None);
    bool continued = false;
    const int assertLine = __LINE__ + 1;
    BOOST_ASSERT(1 + 1 == 3);
    BOOST_ASSERT_MSG(2 < 1, "two is not below one");
    continued = true;
    EXPECT_TRUE(continued);

    const std::string text = written();
    const std::string first = text.substr(0, text.find('\n') + 1);
    const std::string second = text.substr(first.size());
    EXPECT_THAT(first, StartsWith("ERROR: BOOST_ASSERT(1 + 1 == 3) (LogTests.cpp:" +
                                  std::to_string(assertLine) + " "));
    EXPECT_THAT(first, EndsWith("TestBody())\n"));
    EXPECT_THAT(second, StartsWith("ERROR: BOOST_ASSERT(2 < 1) two is not below one (LogTests.cpp:" +
                                   std::to_string(assertLine + 1) + " "));
}

} // namespace
