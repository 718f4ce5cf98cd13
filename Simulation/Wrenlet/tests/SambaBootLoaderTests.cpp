#include <Wrenlet/SambaBootLoader.h>

#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Wrenlet;

namespace {

struct Outcome
{
    std::vector<std::string> commands;
    std::vector<std::string> errors;
    std::vector<uint8_t> answers;
    std::vector<uint8_t> flash;
    uint32_t gpnvm = 0;
    int resets = 0;

    bool operator==(const Outcome&) const = default;
};

// Feeds `pieces` into a fresh boot loader and gathers what it did.
Outcome feed(const std::vector<std::string>& pieces)
{
    // Time stands still: flash commands end by their status reads alone.
    DarwinTesting::ManualClock clock;
    ChipState chip;
    chip.userSignature[0] = 'S';
    Outcome outcome;
    SambaBootLoader loader(chip, [&] { ++outcome.resets; });
    for (const std::string& piece : pieces) {
        loader.receive(std::span(reinterpret_cast<const uint8_t*>(piece.data()), piece.size()));
        uint8_t space[64];
        while (size_t n = loader.takeAnswer(space))
            outcome.answers.insert(outcome.answers.end(), space, space + n);
    }
    outcome.commands = loader.commandLog();
    outcome.errors = loader.protocolErrors();
    outcome.flash.assign(chip.flash.begin(), chip.flash.begin() + 2 * kPageSize);
    outcome.gpnvm = chip.gpnvm;
    return outcome;
}

// Every command kind the updater and a terminal tool use, one after the other.
const std::string kSession =
    "N#V#"
    "W400E0C04,5A00010C#w400E0C08,#w400E0C08,#w400E0C08,#"
    "W00400000,11223344#W00400004,55667788#"
    "W400E0C04,5A000001#w400E0C08,#w400E0C08,#w400E0C08,#"
    "w00400000,#w00400004,4#"
    "W400E0C04,5A000014#w400E0C08,#w00400000,#W400E0C04,5A000015#w400E0C08,#w400E0C08,#"
    "w400E0C08,#"
    "S20400000,3#\x01#\x02"
    "R20400000,3#o20400001,#h20400000,#O20400010,AB#o20400010,#"
    "X12#w12345678901,#"
    "W400E0C04,5A00010B#w400E0C08,#w400E0C08,#w400E0C08,#"
    "W400E1800,A5000001#";

} // namespace

TEST(SambaBootLoader, SessionAnswersAsTheChipWould)
{
    const Outcome outcome = feed({kSession});
    EXPECT_EQ(outcome.flash[0], 0x44);
    EXPECT_EQ(outcome.flash[7], 0x55);
    EXPECT_EQ(outcome.gpnvm, 2u);
    EXPECT_EQ(outcome.resets, 1);
    EXPECT_EQ(outcome.errors,
              (std::vector<std::string>{"unknown command X12", "bad address in w12345678901,"}));
    // "\x01#\x02" went to SRAM as data and is not parsed.
    const std::string answers(outcome.answers.begin(), outcome.answers.end());
    EXPECT_EQ(answers.substr(0, 2), "\n\r");
    EXPECT_NE(answers.find(std::string("\x01#\x02", 3)), std::string::npos);
}

TEST(SambaBootLoader, EverySplitOfTheStreamGivesTheSameOutcome)
{
    const Outcome whole = feed({kSession});
    for (size_t cut = 1; cut < kSession.size(); ++cut)
        ASSERT_EQ(feed({kSession.substr(0, cut), kSession.substr(cut)}), whole) << "cut at " << cut;
}

TEST(SambaBootLoader, FortyCommandsInOnePiece)
{
    std::string many;
    std::vector<std::string> pieces;
    for (int i = 0; i < 40; ++i) {
        char command[32];
        snprintf(command, sizeof command, "W%08X,%08X#", 0x400000 + 4 * i, 0x01020304 * (i + 1));
        many += command;
        pieces.push_back(command);
    }
    EXPECT_EQ(feed({many}), feed(pieces));
    EXPECT_EQ(feed({many}).commands.size(), 40u);
}

TEST(SambaBootLoader, OverlongCommandIsAnErrorAndParsingResumesAfterItsEnd)
{
    const Outcome outcome = feed({std::string(100, 'W') + "#N#"});
    EXPECT_EQ(outcome.errors, (std::vector<std::string>{"command too long"}));
    EXPECT_EQ(std::string(outcome.answers.begin(), outcome.answers.end()), "\n\r");
}

TEST(SambaBootLoader, UploadedWordCopyRunsByItsEffectAndUnknownRoutinesAreErrors)
{
    ChipState chip;
    SambaBootLoader loader(chip, [] {});
    const auto send = [&](const std::string& text) {
        loader.receive(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    };
    // A 0x34-byte routine at 0x20401000 whose block at +0x20 holds stack, entry, destination,
    // source and word count.
    send("S20401000,34#" + std::string(0x34, '\0'));
    send("W20401024,20401001#W20401028,00400000#W2040102C,20402000#W20401030,00000002#");
    send("W20402000,11223344#W20402004,55667788#");
    send("G20401020#");
    send("W400E0C04,5A000001#w400E0C08,#w400E0C08,#w400E0C08,#");
    EXPECT_EQ(chip.flash[0], 0x44);
    EXPECT_EQ(chip.flash[7], 0x55);
    EXPECT_EQ(loader.routineLog(), std::vector<std::string>{"copy 2 words from 20402000 to 00400000"});

    send("G20408000#");
    EXPECT_EQ(loader.protocolErrors().size(), 1u);

    // The data buffer uploaded page after page leaves the routine known.
    for (int page = 0; page < 40; ++page) {
        send("S20402000,8#" + std::string(8, char(page)));
    }
    send("G20401020#");
    EXPECT_EQ(loader.routineLog().size(), 2u);
    EXPECT_EQ(loader.protocolErrors().size(), 1u);
    // Overwritten, it is known no more.
    send("S20401000,4#" + std::string(4, '\0'));
    send("G20401020#");
    EXPECT_EQ(loader.protocolErrors().size(), 2u);
}
