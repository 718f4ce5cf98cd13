#include "ChannelNames.h"
#include "LogLines.h"

#include <gtest/gtest.h>

#include <cstring>

using PlugInTesting::LogLines;

namespace {

TEST(ChannelNames, TokenizeSplitsAtEveryBlank)
{
    const struct
    {
        std::string text;
        std::vector<std::string> tokens;
    } cases[] = {
        {"Main Out L", {"Main", "Out", "L"}},
        {"Loopback", {"Loopback"}},
        {"a  b", {"a", "", "b"}},
        {"a ", {"a"}},
        {" a", {"", "a"}},
        {"", {}},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(Tokenize(testCase.text), testCase.tokens) << '"' << testCase.text << '"';
    }
    EXPECT_EQ(Untokenize({"Mic/Line/Inst", "", "In"}), "Mic/Line/Inst  In");
    EXPECT_EQ(Untokenize({}), "");
}

TEST(ChannelNames, BuiltInTables)
{
    const ChannelNames names = ChannelNames::Defaults();
    const std::vector<std::string> inFull = {
        "Mic/Line/Inst In 1", "Mic/Line/Inst In 2", "Line In 3",    "Line In 4",     "Line In 5",
        "Line In 6",          "Line In 7",          "Line In 8",    "Loopback In 1", "Loopback In 2",
        "S/PDIF In 1",        "S/PDIF In 2",        "Optical In 1", "Optical In 2",  "Optical In 3",
        "Optical In 4",       "Optical In 5",       "Optical In 6", "Optical In 7",  "Optical In 8"};
    const std::vector<std::string> inCategory = {
        "Mic/Line/Inst In", "Mic/Line/Inst In", "Line In",    "Line In",     "Line In",
        "Line In",          "Line In",          "Line In",    "Loopback In", "Loopback In",
        "S/PDIF In",        "S/PDIF In",        "Optical In", "Optical In",  "Optical In",
        "Optical In",       "Optical In",       "Optical In", "Optical In",  "Optical In"};
    const std::vector<std::string> inNumber = {"1", "2", "3", "4", "5", "6", "7", "8", "1", "2",
                                               "1", "2", "1", "2", "3", "4", "5", "6", "7", "8"};
    const std::vector<std::string> outFull = {
        "Main Out 1",    "Main Out 2",    "Line Out 3",    "Line Out 4",    "Line Out 5",    "Line Out 6",
        "Line Out 7",    "Line Out 8",    "Line Out 9",    "Line Out 10",   "Phones Out 1",  "Phones Out 2",
        "S/PDIF Out 1",  "S/PDIF Out 2",  "Optical Out 1", "Optical Out 2", "Optical Out 3", "Optical Out 4",
        "Optical Out 5", "Optical Out 6", "Optical Out 7", "Optical Out 8"};
    const std::vector<std::string> outCategory = {
        "Main Out",    "Main Out",    "Line Out",    "Line Out",    "Line Out",    "Line Out",
        "Line Out",    "Line Out",    "Line Out",    "Line Out",    "Phones Out",  "Phones Out",
        "S/PDIF Out",  "S/PDIF Out",  "Optical Out", "Optical Out", "Optical Out", "Optical Out",
        "Optical Out", "Optical Out", "Optical Out", "Optical Out"};
    const std::vector<std::string> outNumber = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "1",
                                                "2", "1", "2", "1", "2", "3", "4", "5", "6", "7",  "8"};
    EXPECT_EQ(names.fInFull, inFull);
    EXPECT_EQ(names.fInCategory, inCategory);
    EXPECT_EQ(names.fInNumber, inNumber);
    EXPECT_EQ(names.fOutFull, outFull);
    EXPECT_EQ(names.fOutCategory, outCategory);
    EXPECT_EQ(names.fOutNumber, outNumber);
}

KorvanDeviceIO::ChannelNamesResponse Response(const std::vector<std::string>& inputs,
                                              const std::vector<std::string>& outputs)
{
    KorvanDeviceIO::ChannelNamesResponse response{};
    for (std::size_t index = 0; index < inputs.size(); ++index) {
        std::strncpy(response.fInNames[index], inputs[index].c_str(), KorvanDeviceIO::kNameFieldBytes);
    }
    for (std::size_t index = 0; index < outputs.size(); ++index) {
        std::strncpy(response.fOutNames[index], outputs[index].c_str(), KorvanDeviceIO::kNameFieldBytes);
    }
    return response;
}

TEST(ChannelNames, SplitsEachNameIntoCategoryAndNumber)
{
    const auto response = Response({"Line In 3", "Main In R", "x 0x10", "x 010", "Two  Blanks 7", "unread 1"},
                                   {"Main Out L", "Line Out 12"});
    ChannelNames names;
    ASSERT_TRUE(ParseChannelNames(response, 5, 2, names));
    EXPECT_EQ(names.fInFull,
              (std::vector<std::string>{"Line In 3", "Main In R", "x 0x10", "x 010", "Two  Blanks 7"}));
    EXPECT_EQ(names.fInCategory, (std::vector<std::string>{"Line In", "Main In", "x", "x", "Two  Blanks"}));
    EXPECT_EQ(names.fInNumber, (std::vector<std::string>{"3", "2", "16", "8", "7"}));
    EXPECT_EQ(names.fOutCategory, (std::vector<std::string>{"Main Out", "Line Out"}));
    EXPECT_EQ(names.fOutNumber, (std::vector<std::string>{"1", "12"}));
}

TEST(ChannelNames, RefusesNamesThatCannotBeSplit)
{
    const struct
    {
        const char* name;
        std::vector<std::string> inputs;
        std::vector<std::string> outputs;
        const char* line;
    } cases[] = {
        {"one word",
         {"Line In 1", "Loopback"},
         {},
         "Channel name or channel number missing from string (\"Loopback\")"},
        {"negative number", {"x -1"}, {}, "Invalid channel number string element found (-1, string is x -1)"},
        {"empty input", {""}, {}, "Couldn't tokenize an input channel name (string is )"},
        {"empty output", {"In 1", "In 2"}, {""}, "Couldn't tokenize an output channel name (string is )"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        LogLines log;
        ChannelNames names;
        EXPECT_FALSE(ParseChannelNames(Response(testCase.inputs, testCase.outputs), 2, 2, names));
        EXPECT_TRUE(log.contains(testCase.line)) << log.text();
    }
}

// A name of 32 characters without a NUL is read up to its field's end and no further.
TEST(ChannelNames, NameFillingItsWholeFieldStaysInside)
{
    KorvanDeviceIO::ChannelNamesResponse response{};
    std::memset(response.fInNames[0], 'a', KorvanDeviceIO::kNameFieldBytes);
    response.fInNames[0][29] = ' ';
    std::strcpy(response.fInNames[1], "b 2");
    ChannelNames names;
    ASSERT_TRUE(ParseChannelNames(response, 2, 0, names));
    EXPECT_EQ(names.fInFull[0], std::string(29, 'a') + " aa");
    EXPECT_EQ(names.fInCategory[1], "b");
}

} // namespace
