#include "JamTexts.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(JamTexts, ErrorTextsByStatus)
{
    const char* const expected[] = {"success",
                                    "out of memory",
                                    "file access error",
                                    "syntax error",
                                    "unexpected end of file",
                                    "undefined symbol",
                                    "redefined symbol",
                                    "integer overflow",
                                    "divide by zero",
                                    "CRC mismatch",
                                    "internal error",
                                    "bounds error",
                                    "type mismatch",
                                    "assignment to constant",
                                    "NEXT unexpected",
                                    "POP unexpected",
                                    "RETURN unexpected",
                                    "illegal symbol name",
                                    "vector signal name not found",
                                    "execution cancelled",
                                    "stack overflow",
                                    "illegal instruction code",
                                    "phase error",
                                    "scope error",
                                    "action not found"};
    for (int status = 0; status < 25; ++status) {
        ASSERT_NE(jbi_error_text(status), nullptr) << status;
        EXPECT_EQ(std::string(jbi_error_text(status)), expected[status]);
    }
    EXPECT_EQ(jbi_error_text(25), nullptr);
    EXPECT_EQ(jbi_error_text(-1), nullptr);
}

TEST(JamTexts, ExitTextsByFormat)
{
    const struct
    {
        int format, code;
        const char* text;
        bool flag;
    } rows[] = {
        {2, 0, "Success", false},
        {2, 1, "Checking chain failure", false},
        {2, 6, "Unrecognized device", false},
        {2, 10, "Device programming failure", false},
        {2, 11, "Device verify failure", true},
        {2, 17, "Performing system test failure", false},
        {2, 18, "Unknown exit code", false},
        {2, -1, "Unknown exit code", false},
        {1, 0, "Success", false},
        {1, 1, "Illegal initialization values", false},
        {1, 6, "Device verify failure", false},
        {1, 7, "SRAM configuration failure", false},
        {1, 8, "Unknown exit code", false},
        {1, 11, "Unknown exit code", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(std::string(jbi_exit_text(row.format, row.code)), row.text)
            << row.format << " " << row.code;
        EXPECT_EQ(jbi_exit_code_flag(row.format, row.code), row.flag) << row.format << " " << row.code;
    }
}

} // namespace
