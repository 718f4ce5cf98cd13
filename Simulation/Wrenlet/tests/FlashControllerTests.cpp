#include <Wrenlet/FlashController.h>

#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <chrono>

#include <set>
#include <span>

using namespace Wrenlet;
using FC = FlashController;

namespace {

uint32_t commandValue(uint8_t command, uint16_t argument = 0, uint32_t key = FC::kKey)
{
    return key << 24 | uint32_t(argument) << 8 | command;
}

class FlashControllerTest : public testing::Test
{
protected:
    // Polls the status until FRDY, gathering every bit seen.
    uint32_t pollUntilReady()
    {
        uint32_t seen = 0;
        for (int i = 0; i < 100; ++i) {
            const uint32_t status = fc.readRegister(FC::kStatusRegister);
            seen |= status;
            if (status & FC::FRDY)
                return seen;
        }
        ADD_FAILURE() << "never ready";
        return seen;
    }

    void run(uint8_t command, uint16_t argument = 0)
    {
        fc.writeRegister(FC::kCommandRegister, commandValue(command, argument));
        pollUntilReady();
    }

    void latchPage(uint8_t value)
    {
        for (uint32_t i = 0; i < kPageSize; ++i)
            fc.latchByte(i, value);
    }

    // Time stands still unless a test moves it: commands end by their status reads alone.
    DarwinTesting::ManualClock clock;
    ChipState chip;
    FlashController fc{chip};
};

} // namespace

TEST_F(FlashControllerTest, CommandWithoutKeyOrUnknownSetsCommandErrorWhichClearsOnRead)
{
    for (uint32_t value :
         {commandValue(FC::WP, 0, 0x00), commandValue(FC::WP, 0, 0xA5), commandValue(0x3F)}) {
        fc.writeRegister(FC::kCommandRegister, value);
        EXPECT_EQ(fc.readRegister(FC::kStatusRegister), FC::FRDY | FC::FCMDE) << std::hex << value;
        EXPECT_EQ(fc.readRegister(FC::kStatusRegister), FC::FRDY);
    }
    EXPECT_EQ(chip.flash[0], 0xFF);
}

TEST_F(FlashControllerTest, CommandsTakeEffectWhenReadyAfterTheirBusyReads)
{
    fc.setTiming({.busyReads = 3, .eraseBusyReads = 5, .busyNs = 1'000'000, .eraseBusyNs = 10'000'000});
    latchPage(0x12);
    fc.writeRegister(FC::kCommandRegister, commandValue(FC::WP, 2));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(fc.readRegister(FC::kStatusRegister), 0u);
        EXPECT_EQ(chip.flash[2 * kPageSize], 0xFF);
    }
    EXPECT_EQ(fc.readRegister(FC::kStatusRegister), FC::FRDY);
    EXPECT_EQ(chip.flash[2 * kPageSize], 0x12);
    EXPECT_EQ(chip.flash[3 * kPageSize], 0xFF);

    fc.writeRegister(FC::kCommandRegister, commandValue(FC::EA));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(fc.readRegister(FC::kStatusRegister), 0u);
    EXPECT_EQ(fc.readRegister(FC::kStatusRegister), FC::FRDY);
    EXPECT_EQ(chip.flash[2 * kPageSize], 0xFF);
}

TEST_F(FlashControllerTest, UnpolledCommandTakesEffectOnceItsTimeHasPassed)
{
    fc.writeRegister(FC::kCommandRegister, commandValue(FC::SGPB, 1));
    fc.settle();
    EXPECT_FALSE(chip.bootFromFlash());
    clock.advance(std::chrono::milliseconds(1));
    fc.settle();
    EXPECT_TRUE(chip.bootFromFlash());
    EXPECT_FALSE(fc.busy());
}

TEST_F(FlashControllerTest, GpnvmAndSignatureMode)
{
    run(FC::SGPB, 1);
    EXPECT_TRUE(chip.bootFromFlash());
    run(FC::CGPB, 1);
    EXPECT_FALSE(chip.bootFromFlash());

    chip.userSignature[0] = 'V';
    chip.flash[0] = 0x00;
    fc.writeRegister(FC::kCommandRegister, commandValue(FC::STUS));
    // STUS's awaited ready value is 0: FRDY stays low while the signature is readable.
    EXPECT_EQ(fc.readRegister(FC::kStatusRegister) & FC::FRDY, 0u);
    EXPECT_EQ(fc.readFlashByte(0), 'V');
    run(FC::SPUS);
    EXPECT_EQ(fc.readFlashByte(0), 0x00);
}

TEST_F(FlashControllerTest, LatchAndsIntoThePageAndResetsAfterWritePage)
{
    latchPage(0xF0);
    run(FC::WP, 0);
    latchPage(0x0F);
    run(FC::WP, 0);
    // Written twice without an erase: the two patterns AND together, which a verify catches.
    EXPECT_EQ(chip.flash[0], 0x00);
    run(FC::WP, 1);
    EXPECT_EQ(chip.flash[kPageSize], 0xFF) << "the latch resets after WP";
}

TEST_F(FlashControllerTest, LockedRegionRefusesWrites)
{
    run(FC::SLB, 0);
    latchPage(0);
    fc.writeRegister(FC::kCommandRegister, commandValue(FC::WP, 0));
    EXPECT_EQ(fc.readRegister(FC::kStatusRegister), FC::FRDY | FC::FLOCKE);
    EXPECT_EQ(chip.flash[0], 0xFF);
}

TEST_F(FlashControllerTest, ForcedErrorAndNeverReady)
{
    fc.forceError(FC::ForcedError{FC::CGPB, FC::FLERR});
    chip.gpnvm = 2;
    fc.writeRegister(FC::kCommandRegister, commandValue(FC::CGPB, 1));
    EXPECT_TRUE(pollUntilReady() & FC::FLERR);
    EXPECT_TRUE(chip.bootFromFlash());

    fc.setNeverReady(true);
    fc.writeRegister(FC::kCommandRegister, commandValue(FC::EA));
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(fc.readRegister(FC::kStatusRegister) & FC::FRDY, 0u);
}

TEST_F(FlashControllerTest, PowerLossDuringWritePageTearsThePage)
{
    latchPage(0x00);
    fc.writeRegister(FC::kCommandRegister, commandValue(FC::WP, 4));
    fc.powerOff();
    const auto page = std::span(chip.flash).subspan(4 * kPageSize, kPageSize);
    EXPECT_EQ(page.front(), 0x00);
    EXPECT_EQ(page.back(), 0xFF);
    EXPECT_EQ(fc.log().back().outcome, "interrupted");
    // The latch is gone with the power.
    run(FC::WP, 5);
    EXPECT_EQ(chip.flash[5 * kPageSize], 0xFF);
}

TEST_F(FlashControllerTest, PowerLossDuringEraseLeavesPartErased)
{
    std::fill(chip.flash.begin(), chip.flash.end(), 0x00);
    fc.writeRegister(FC::kCommandRegister, commandValue(FC::EA));
    fc.powerOff();
    EXPECT_EQ(chip.flash.front(), 0xFF);
    EXPECT_EQ(chip.flash.back(), 0x00);
}

TEST_F(FlashControllerTest, PowerLossDuringGpnvmLeavesEitherState)
{
    std::set<uint32_t> outcomes;
    for (uint32_t seed = 0; seed < 16; ++seed) {
        chip.gpnvm = 2;
        fc.seedDamage(seed);
        fc.writeRegister(FC::kCommandRegister, commandValue(FC::CGPB, 1));
        fc.powerOff();
        outcomes.insert(chip.gpnvm);
    }
    EXPECT_EQ(outcomes, (std::set<uint32_t>{0, 2}));
}
