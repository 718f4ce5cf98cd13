// Each boot-loader command against the simulated boot loader, through the USB library.

#include "BootLoaderLink.h"

#include "ReadWordArray.h"
#include "RunFlashCommand.h"
#include "SAMBACheckModel.h"
#include "VerifyFlash.h"
#include "WriteFlash.h"
#include "WriteWord.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/ScopedTimebase.h>
#include <Wrenlet/FlashController.h>

#include <algorithm>

using namespace UpdaterTests;
using Wrenlet::FlashController;
using Wrenlet::SambaBootLoader;

namespace {

class SambaTest : public BootLoaderLink
{
protected:
    std::vector<std::string> Commands()
    {
        std::vector<std::string> commands;
        fUnit->withBootLoader([&](SambaBootLoader& loader) { commands = loader.commandLog(); });
        return commands;
    }
    std::vector<FlashController::LogEntry> FlashLog()
    {
        std::vector<FlashController::LogEntry> log;
        fUnit->withBootLoader([&](SambaBootLoader& loader) { log = loader.flashController().log(); });
        return log;
    }
    void EraseAll()
    {
        ASSERT_TRUE(Run(*std::make_unique<RunFlashCommand>(*fEngine, SAMBA::kEraseAll, 0, 1)));
    }
};

} // namespace

TEST_F(SambaTest, WriteWordSendsNineteenBytes)
{
    WriteWord reset(*fEngine, SAMBA::kResetRegister, SAMBA::kResetValue);
    EXPECT_TRUE(Run(reset));
    EXPECT_EQ(fUnit->traffic().outBytes, 19u);
    EXPECT_EQ(Commands(), std::vector<std::string>{"W400E1800,A5000001#"});
}

TEST_F(SambaTest, ReadWordArraySendsElevenBytesAWordAndReceivesFour)
{
    ReadWordArray read(*fEngine, SAMBA::kFlashBase, 16);
    ASSERT_TRUE(Run(read));
    EXPECT_EQ(fUnit->traffic().outBytes, 176u);
    EXPECT_EQ(fUnit->traffic().inBytes, 64u);
    const auto image = Wrenlet::FirmwareImage::build("2.1", 1301);
    EXPECT_EQ(read.GetResult(), std::vector<uint8_t>(image.begin(), image.begin() + 64));
}

struct FlashCommandCase
{
    uint8_t command;
    uint16_t argument;
    uint32_t ready;
    const char* text;
};

class RunFlashCommandTest : public SambaTest, public testing::WithParamInterface<FlashCommandCase>
{};

TEST_P(RunFlashCommandTest, WritesTheCommandAndPollsForItsReadyValue)
{
    const FlashCommandCase& c = GetParam();
    RunFlashCommand command(*fEngine, c.command, c.argument, c.ready);
    EXPECT_TRUE(Run(command));
    const auto commands = Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0], c.text);
    EXPECT_EQ(commands.back(), "w400E0C08,#");
}

INSTANTIATE_TEST_SUITE_P(
    Table, RunFlashCommandTest,
    testing::Values(FlashCommandCase{SAMBA::kWritePage, 2, 1, "W400E0C04,5A000201#"},
                    FlashCommandCase{SAMBA::kEraseAll, 0, 1, "W400E0C04,5A000005#"},
                    FlashCommandCase{SAMBA::kSetGPNVM, 1, 1, "W400E0C04,5A00010B#"},
                    FlashCommandCase{SAMBA::kClearGPNVM, 1, 1, "W400E0C04,5A00010C#"},
                    FlashCommandCase{SAMBA::kStartUserSignature, 0, 0, "W400E0C04,5A000014#"},
                    FlashCommandCase{SAMBA::kStopUserSignature, 0, 1, "W400E0C04,5A000015#"}));

TEST_F(SambaTest, ErrorBitOnAnEarlyPollFailsTheCommand)
{
    fUnit->withBootLoader([](SambaBootLoader& loader) {
        loader.flashController().setTiming(
            {.busyReads = 3, .eraseBusyReads = 8, .busyNs = 1'000'000, .eraseBusyNs = 10'000'000});
        loader.flashController().forceError(
            FlashController::ForcedError{SAMBA::kClearGPNVM, FlashController::FLERR});
    });
    RunFlashCommand refused(*fEngine, SAMBA::kClearGPNVM, 1, 1);
    EXPECT_FALSE(Run(refused));
    EXPECT_FALSE(fError);
}

struct PollLimitCase
{
    uint8_t command;
    std::chrono::seconds limit;
    std::chrono::milliseconds lateBy;
    // The host's timebase; 125 / 3 counts 24 ticks a microsecond.
    uint32_t numer;
    uint32_t denom;
};

class PollLimitTest : public SambaTest, public testing::WithParamInterface<PollLimitCase>
{};

TEST_P(PollLimitTest, ReadyNeverReturningFailsAtTheLimit)
{
    const PollLimitCase& c = GetParam();
    fUnit->setAnswerDelay(std::chrono::nanoseconds(c.lateBy).count());
    fUnit->withBootLoader([](SambaBootLoader& loader) { loader.flashController().setNeverReady(true); });
    const DarwinTesting::ScopedTimebase timebase(c.numer, c.denom);
    RunFlashCommand stuck(*fEngine, c.command, c.command == SAMBA::kEraseAll ? 0 : 1, 1);
    const uint64_t start = DarwinClock::hostNow();
    EXPECT_FALSE(Run(stuck, c.limit + 2s, c.lateBy));
    const uint64_t took = DarwinClock::hostNow() - start;
    EXPECT_GE(took, uint64_t(std::chrono::nanoseconds(c.limit).count()));
    EXPECT_LT(took, uint64_t(std::chrono::nanoseconds(c.limit + 1s).count()));
}

INSTANTIATE_TEST_SUITE_P(Limits, PollLimitTest,
                         testing::Values(PollLimitCase{SAMBA::kSetGPNVM, 10s, 1ms, 1, 1},
                                         PollLimitCase{SAMBA::kEraseAll, 120s, 50ms, 1, 1},
                                         PollLimitCase{SAMBA::kSetGPNVM, 10s, 1ms, 125, 3},
                                         PollLimitCase{SAMBA::kEraseAll, 120s, 50ms, 125, 3}));

TEST_F(SambaTest, CheckModelReadsTheSixteenSignatureBytes)
{
    SAMBACheckModel check(*fEngine);
    ASSERT_TRUE(Run(check));
    const auto signature = Wrenlet::makeSignature('A', 0, {0x0A, 0x1B, 0x2C});
    EXPECT_EQ(check.GetResult(), std::vector<uint8_t>(signature.begin(), signature.begin() + 16));
    const auto commands = Commands();
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(commands[0], "N#");
    EXPECT_EQ(commands[1], "W400E0C04,5A000014#");
    EXPECT_NE(std::find(commands.begin(), commands.end(), "w00400000,#"), commands.end());
    EXPECT_NE(std::find(commands.begin(), commands.end(), "W400E0C04,5A000015#"), commands.end());
}

class ImageSizeTest : public SambaTest, public testing::WithParamInterface<size_t>
{};

TEST_P(ImageSizeTest, WriteThenVerifyLeavesTheFlashEqualToTheImage)
{
    const size_t size = GetParam();
    EraseAll();
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) {
        image[i] = uint8_t(i * 7 + 3);
    }
    WriteFlash write(*fEngine, image);
    ASSERT_TRUE(Run(write, 10s));
    EXPECT_EQ(write.GetProgress(), 100);
    EXPECT_TRUE(std::is_sorted(fProgress.begin(), fProgress.end()));
    const Wrenlet::ChipState chip = fUnit->chip();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), chip.flash.begin()));
    // The last word's padding is the erased value.
    EXPECT_EQ(chip.flash[size], 0xFF);

    VerifyFlash verify(*fEngine, image);
    ASSERT_TRUE(Run(verify, 10s));
    EXPECT_EQ(verify.GetProgress(), 100);
    size_t writePages = 0;
    for (const auto& entry : FlashLog()) {
        writePages += entry.command == SAMBA::kWritePage && entry.outcome == "done";
    }
    EXPECT_EQ(writePages, (size + 511) / 512);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImageSizeTest,
                         testing::Values(size_t(1024), size_t(1300), size_t(1301), size_t(64), size_t(0)));

TEST_F(SambaTest, ShortLastPageUsesThePageNumberOfItsStart)
{
    EraseAll();
    std::vector<uint8_t> image(1300, 0x11);
    WriteFlash write(*fEngine, image);
    ASSERT_TRUE(Run(write, 10s));
    const auto commands = Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "W400E0C04,5A000201#"), commands.end());
}

TEST_F(SambaTest, FirstDifferenceStopsTheVerify)
{
    auto image = Wrenlet::FirmwareImage::build("2.1", 1301);
    image[70] ^= 1;
    VerifyFlash verify(*fEngine, image);
    EXPECT_FALSE(Run(verify));
    // Two blocks read, the second holding the difference; nothing after it.
    EXPECT_EQ(fUnit->traffic().inBytes, 128u);
}

TEST_F(SambaTest, ReadCutShortByATimeOutFailsWithoutATransferError)
{
    fUnit->stopAnsweringAfter(2);
    ReadWordArray read(*fEngine, SAMBA::kFlashBase, 1);
    EXPECT_FALSE(Run(read));
    EXPECT_FALSE(fError);
}
