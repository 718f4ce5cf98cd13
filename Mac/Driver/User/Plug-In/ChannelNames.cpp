#include "ChannelNames.h"

#include "Log.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kFunction = "UpdateSampleRateDependentParameters";

struct NameGroup
{
    const char* category;
    int first;
    int last;
};

const NameGroup kWrenletInGroups[] = {
    {"Mic/Line/Inst In", 1, 2}, {"Line In", 3, 8},    {"Loopback In", 1, 2},
    {"S/PDIF In", 1, 2},        {"Optical In", 1, 8},
};

const NameGroup kWrenletOutGroups[] = {
    {"Main Out", 1, 2},   {"Line Out", 3, 10},   {"Phones Out", 1, 2},
    {"S/PDIF Out", 1, 2}, {"Optical Out", 1, 8},
};

template <std::size_t N>
void AddDefaults(const NameGroup (&groups)[N], std::vector<std::string>& full,
                 std::vector<std::string>& category, std::vector<std::string>& number)
{
    for (const NameGroup& group : groups) {
        for (int index = group.first; index <= group.last; ++index) {
            category.emplace_back(group.category);
            number.push_back(std::to_string(index));
            full.push_back(category.back() + " " + number.back());
        }
    }
}

enum class Direction
{
    Input,
    Output,
};

// One direction's names; false after logging the first name that cannot be split.
bool ParseDirection(const char (&entries)[KorvanDeviceIO::kMaxDMAChannels][KorvanDeviceIO::kNameFieldBytes],
                    unsigned channels, Direction direction, std::vector<std::string>& full,
                    std::vector<std::string>& category, std::vector<std::string>& number)
{
    channels = std::min<unsigned>(channels, KorvanDeviceIO::kMaxDMAChannels);
    for (unsigned channel = 0; channel < channels; ++channel) {
        const std::string name(entries[channel], strnlen(entries[channel], KorvanDeviceIO::kNameFieldBytes));
        full.push_back(name);
        std::vector<std::string> tokens = Tokenize(name);
        if (tokens.empty()) {
            TIDE_LOG(Log::Error,
                     direction == Direction::Input
                         ? "%s - Couldn't tokenize an input channel name (string is %s)"
                         : "%s - Couldn't tokenize an output channel name (string is %s)",
                     kFunction, name.c_str());
            return false;
        }
        const std::string& last = tokens.back();
        long value = 0;
        if (last == "L") {
            value = 1;
        } else if (last == "R") {
            value = 2;
        } else {
            value = std::strtol(last.c_str(), nullptr, 0);
        }
        if (value < 0) {
            TIDE_LOG(Log::Error, "%s - Invalid channel number string element found (%ld, string is %s)",
                     kFunction, value, name.c_str());
            return false;
        }
        number.push_back(std::to_string(value));
        if (tokens.size() < 2) {
            TIDE_LOG(Log::Error, "%s - Channel name or channel number missing from string (\"%s\")",
                     kFunction, name.c_str());
            return false;
        }
        tokens.pop_back();
        category.push_back(Untokenize(tokens));
    }
    return true;
}

} // namespace

ChannelNames ChannelNames::Defaults()
{
    ChannelNames names;
    AddDefaults(kWrenletInGroups, names.fInFull, names.fInCategory, names.fInNumber);
    AddDefaults(kWrenletOutGroups, names.fOutFull, names.fOutCategory, names.fOutNumber);
    return names;
}

std::vector<std::string> Tokenize(const std::string& text)
{
    std::vector<std::string> tokens;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t blank = text.find(' ', start);
        if (blank == std::string::npos) {
            tokens.push_back(text.substr(start));
            break;
        }
        tokens.push_back(text.substr(start, blank - start));
        start = blank + 1;
    }
    return tokens;
}

std::string Untokenize(const std::vector<std::string>& tokens)
{
    std::string text;
    for (std::size_t index = 0; index < tokens.size(); ++index) {
        if (index != 0) {
            text += ' ';
        }
        text += tokens[index];
    }
    return text;
}

bool ParseChannelNames(const KorvanDeviceIO::ChannelNamesResponse& response, unsigned inChannels,
                       unsigned outChannels, ChannelNames& names)
{
    names = ChannelNames();
    return ParseDirection(response.fInNames, inChannels, Direction::Input, names.fInFull, names.fInCategory,
                          names.fInNumber) &&
           ParseDirection(response.fOutNames, outChannels, Direction::Output, names.fOutFull,
                          names.fOutCategory, names.fOutNumber);
}
