#pragma once

// Runs a test body in a child process of its own, for what must start from a fresh process (a table
// read once per process, the process-wide bundle choice). The body answers whether it passed and
// says why not on standard error.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

inline void RunInChildProcess(const std::function<bool()>& body)
{
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(body() ? 0 : 1), testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);
}
