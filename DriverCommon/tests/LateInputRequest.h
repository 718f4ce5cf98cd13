#pragma once

// The line both drivers log when they queue an input request after the bus has passed its frame:
// the request then goes to a later frame, and the frames between are lost.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

struct LateInputRequest
{
    unsigned index;
    // USB frame numbers: the one the request was meant for, and the one it was queued at instead.
    uint64_t late;
    uint64_t queued;
};

inline std::optional<LateInputRequest> ParseLateInputRequest(const std::string& line)
{
    LateInputRequest request{};
    if (std::sscanf(line.c_str(), "input request %u late for frame %" SCNu64 ", queued at %" SCNu64,
                    &request.index, &request.late, &request.queued) != 3) {
        return std::nullopt;
    }
    return request;
}
