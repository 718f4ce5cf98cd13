#pragma once

#include <DarwinTesting/Eventually.h>

#include <gtest/gtest.h>

// Yields until the condition holds; fails the test when it does not come within the poll limit.
template <typename Condition>
void waitFor(Condition condition)
{
    EXPECT_TRUE(DarwinTesting::eventually(condition)) << "the awaited state never came";
}
