#include <DarwinTesting/LogCapture.h>
#include <os/log.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;

namespace {

TEST(OSLogTypeSwitch, DisablingTheDefaultTypeDropsOnlyDefaultMessages)
{
    LogCapture capture;
    {
        DarwinTesting::DefaultLogDisabled disabled;
        EXPECT_FALSE(os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_DEFAULT));
        EXPECT_TRUE(os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_ERROR));
        os_log(OS_LOG_DEFAULT, "dropped");
        os_log_error(OS_LOG_DEFAULT, "kept");
    }
    EXPECT_TRUE(os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_DEFAULT));
    os_log(OS_LOG_DEFAULT, "written again");
    EXPECT_EQ(capture.texts(LogSource::OSLog), (std::vector<std::string>{"kept", "written again"}));
}

} // namespace
