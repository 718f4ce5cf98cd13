#pragma once

// Runs a test body in a child process of its own, for what must start from a fresh process (a table
// read once per process, the process-wide bundle choice). The body answers whether it passed and
// says why not on standard error.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

inline void RunInChildProcess(const std::function<bool()>& body)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(body() ? 0 : 1), testing::ExitedWithCode(0), "");
}
