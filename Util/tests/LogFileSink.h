#pragma once

#include "Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace LogTesting {

// Every case starts from the state at load, with the stream sink on a scratch file.
class LogFileSink : public testing::Test
{
protected:
    void SetUp() override
    {
        fFile = std::tmpfile();
        ASSERT_NE(fFile, nullptr);
        Log::details::gFile = fFile;
    }

    void TearDown() override
    {
        Log::SetLevel(Log::All);
        Log::SetVerbose(false);
        Log::UseColor(false);
        Log::details::gUseSyslog = false;
        Log::details::gFile = nullptr;
        std::fclose(fFile);
    }

    // Everything the sink has been given so far.
    std::string written() const
    {
        std::string text;
        std::rewind(fFile);
        for (int c; (c = std::fgetc(fFile)) != EOF;) {
            text.push_back(char(c));
        }
        return text;
    }

    FILE* fFile = nullptr;
};

} // namespace LogTesting
