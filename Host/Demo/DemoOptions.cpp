#include "DemoOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>
#include <sstream>

namespace Demo {

namespace {

using KorvanInterface::Model;

struct ModelWordEntry
{
    const char* word;
    Model model;
};
constexpr ModelWordEntry kModelWords[] = {
    {"brio", Model::Brio},       {"tenor", Model::Tenor}, {"basso", Model::Basso},
    {"wrenlet", Model::Wrenlet}, {"pyx", Model::Pyx},
};

template <typename T>
bool ParseNumber(const std::string& text, T& value)
{
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

bool ParseDouble(const std::string& text, double& value)
{
    // from_chars for double needs no locale; "+25" is accepted as a signed number.
    const std::string body = !text.empty() && text[0] == '+' ? text.substr(1) : text;
    return ParseNumber(body, value);
}

bool ParseSigned(const std::string& text, int32_t& value)
{
    const std::string body = !text.empty() && text[0] == '+' ? text.substr(1) : text;
    return ParseNumber(body, value);
}

struct Option
{
    const char* name;
    const char* values;
    const char* defaultText;
    // False when the value is not allowed.
    std::function<bool(const std::string&, DemoOptions&)> apply;
};

const std::vector<Option>& Options()
{
    static const std::vector<Option> options = {
        {"--model", "brio, tenor, basso, wrenlet, pyx", "brio",
         [](const std::string& text, DemoOptions& o) {
             for (const ModelWordEntry& entry : kModelWords) {
                 if (text == entry.word) {
                     o.model = entry.model;
                     return true;
                 }
             }
             return false;
         }},
        {"--rate", "44100, 48000, 88200, 96000, 176400, 192000", "48000",
         [](const std::string& text, DemoOptions& o) {
             uint32_t rate = 0;
             const auto& rates = KorvanInterface::kRates;
             if (!ParseNumber(text, rate) || std::find(rates.begin(), rates.end(), rate) == rates.end()) {
                 return false;
             }
             o.rate = rate;
             return true;
         }},
        {"--buffer", "32 to 4096 frames per IO cycle", "512",
         [](const std::string& text, DemoOptions& o) {
             return ParseNumber(text, o.bufferFrames) && o.bufferFrames >= 32 && o.bufferFrames <= 4096;
         }},
        {"--driver", "auto, kext, dext", "auto",
         [](const std::string& text, DemoOptions& o) {
             for (const DriverChoice choice : {DriverChoice::Auto, DriverChoice::Kext, DriverChoice::Dext}) {
                 if (text == DriverName(choice)) {
                     o.driver = choice;
                     return true;
                 }
             }
             return false;
         }},
        {"--duration", "1 to 3600 seconds", "10",
         [](const std::string& text, DemoOptions& o) {
             return ParseNumber(text, o.durationSeconds) && o.durationSeconds >= 1 &&
                    o.durationSeconds <= 3600;
         }},
        {"--drop-rate", "0 to 5 percent of input packets", "0.1 with streaming headers, 0 without",
         [](const std::string& text, DemoOptions& o) {
             double percent = 0;
             if (!ParseDouble(text, percent) || !(percent >= 0 && percent <= 5)) {
                 return false;
             }
             o.dropPercent = percent;
             return true;
         }},
        {"--drift", "-1000 to +1000 ppm", "+25",
         [](const std::string& text, DemoOptions& o) {
             return ParseSigned(text, o.driftPpm) && o.driftPpm >= -1000 && o.driftPpm <= 1000;
         }},
        {"--headers", "0, 1, 2 (the streaming-header version the device offers)", "2",
         [](const std::string& text, DemoOptions& o) {
             return ParseNumber(text, o.headerVersion) && o.headerVersion <= 2;
         }},
        {"--out", "a folder", "demo/ in the default build folder",
         [](const std::string& text, DemoOptions& o) {
             o.outputFolder = text;
             return !text.empty();
         }},
        {"--capture-iso", "0 to 3600 seconds; above 0, isochronous transfers are captured for the whole run",
         "0",
         [](const std::string& text, DemoOptions& o) {
             return ParseNumber(text, o.isochronousCaptureSeconds) && o.isochronousCaptureSeconds <= 3600;
         }},
        {"--seed", "a whole number choosing the drop pattern", "1",
         [](const std::string& text, DemoOptions& o) { return ParseNumber(text, o.seed); }},
    };
    return options;
}

std::string OptionNames()
{
    std::string names;
    for (const Option& option : Options()) {
        names += std::string(names.empty() ? "" : ", ") + option.name;
    }
    return names;
}

} // namespace

double DemoOptions::effectiveDropPercent(bool headersOn) const
{
    return dropPercent.value_or(headersOn ? 0.1 : 0.0);
}

const char* DriverName(DriverChoice driver)
{
    switch (driver) {
    case DriverChoice::Kext:
        return "kext";
    case DriverChoice::Dext:
        return "dext";
    case DriverChoice::Auto:
        break;
    }
    return "auto";
}

std::string HelpText()
{
    std::ostringstream text;
    text << "options of audio (ten seconds of audio through a simulated interface, checked sample by "
            "sample):\n";
    for (const Option& option : Options()) {
        text << "  " << option.name << " VALUE\n      " << option.values << " (default " << option.defaultText
             << ")\n";
    }
    text << "  --help\n      this text\n";
    return text.str();
}

ParseResult ParseOptions(const std::vector<std::string>& arguments, const std::string& defaultOutput)
{
    DemoOptions options;
    options.outputFolder = defaultOutput;
    for (size_t index = 0; index < arguments.size(); ++index) {
        std::string name = arguments[index];
        if (name == "--help" || name == "-h") {
            return {std::nullopt, HelpText(), 0};
        }
        std::optional<std::string> value;
        if (const size_t equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const auto& table = Options();
        const auto option = std::find_if(table.begin(), table.end(),
                                         [&](const Option& candidate) { return name == candidate.name; });
        if (option == table.end()) {
            return {std::nullopt,
                    "unknown option '" + arguments[index] + "'; the options are: " + OptionNames(), 2};
        }
        if (!value) {
            if (index + 1 == arguments.size()) {
                return {std::nullopt, std::string(option->name) + " needs a value: " + option->values, 2};
            }
            value = arguments[++index];
        }
        if (!option->apply(*value, options)) {
            return {std::nullopt,
                    "bad value '" + *value + "' for " + option->name + "; allowed: " + option->values, 2};
        }
    }
    return {options, "", 0};
}

} // namespace Demo
