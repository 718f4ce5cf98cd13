#pragma once

// The two strings the updater takes from the firmware server's version reply, cut out by plain
// substring search: no JSON parser, no escapes, the first occurrence of each key.

#include <string>

// The text between the first `start` and the first `end` after it; empty when either is missing.
std::string FindSubstring(const std::string& text, const std::string& start, const std::string& end);

struct JsonData
{
    JsonData() = default;
    explicit JsonData(const std::string& text);

    std::string version;
    std::string image;
};
