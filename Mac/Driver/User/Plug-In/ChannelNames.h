#pragma once

// The channel names a device shows: per direction the full name, its category and its number
// ("Line In 3": "Line In" and "3"), read from the driver or taken from the built-in tables.

#include "KorvanDeviceIO.h"

#include <string>
#include <vector>

struct ChannelNames
{
    std::vector<std::string> fInFull;
    std::vector<std::string> fInCategory;
    std::vector<std::string> fInNumber;
    std::vector<std::string> fOutFull;
    std::vector<std::string> fOutCategory;
    std::vector<std::string> fOutNumber;

    // The built-in names: 20 inputs and 22 outputs.
    static ChannelNames Defaults();
};

// Splits at every blank as lines are read: two blanks in a row give an empty token, a trailing
// blank no extra one.
std::vector<std::string> Tokenize(const std::string& text);
// The tokens joined by one blank.
std::string Untokenize(const std::vector<std::string>& tokens);

// The names of the first `inChannels` and `outChannels` entries of the driver's answer. False,
// after logging why, when a name has no category or no valid number.
bool ParseChannelNames(const KorvanDeviceIO::ChannelNamesResponse& response, unsigned inChannels,
                       unsigned outChannels, ChannelNames& names);
