#include <gtest/gtest.h>

// Test binaries start threads (run loops, queues, the clock's alarm thread), so death tests
// re-execute the binary instead of forking a process that holds those threads' locks.
int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
