// The program's front end to the player: the CRC report, the run with reset at the end, and the
// printed outcome.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct JamOutcome
{
    int status = 0;
    int exitCode = 0;
    // 1 only for format 2's exit code 11 ("Device verify failure").
    bool flag = false;
};

JamOutcome RunJamProgram(const std::string& action, const uint8_t* data, size_t length);
