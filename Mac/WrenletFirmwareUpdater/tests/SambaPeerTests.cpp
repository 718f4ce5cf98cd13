// bossac, a SAM-BA client that knows nothing of this code, against the same simulated boot loader
// through a pseudo terminal: it recognises the chip, reads back what our engine wrote, and resets
// the unit into run mode.

#include "BootLoaderLink.h"

#include "RunFlashCommand.h"
#include "VerifyFlash.h"
#include "WriteFlash.h"

#include <Wrenlet/SambaPty.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace UpdaterTests;

namespace {

struct BossacRun
{
    int status = -1;
    std::string output;
};

class SambaPeerTest : public BootLoaderLink
{
protected:
    // bossac with `arguments` on a terminal in front of the unit, within a minute. The terminal
    // lives only as long as the run, since it takes every answer the unit gives.
    BossacRun Bossac(const std::string& arguments)
    {
        BossacRun run;
        const auto pty = Wrenlet::SambaPty::open(fUnit);
        if (!pty) {
            ADD_FAILURE() << "no pseudo terminal";
            return run;
        }
        const std::string command =
            "timeout 60 bossac --port=" + pty->path() + " --usb-port=1 " + arguments + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return run;
        }
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
            run.output += buffer;
        }
        const int status = pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }
};

} // namespace

TEST_F(SambaPeerTest, BossacRecognisesTheChip)
{
    const BossacRun run = Bossac("-i");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Address      : 0x400000"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Page Size    : 512 bytes"), std::string::npos) << run.output;
}

TEST_F(SambaPeerTest, BossacReadsBackWhatOurEngineWrote)
{
    const auto image = Wrenlet::FirmwareImage::build("3.0", 1301);
    RunFlashCommand erase(*fEngine, SAMBA::kEraseAll, 0, 1);
    ASSERT_TRUE(Run(erase));
    WriteFlash write(*fEngine, image);
    ASSERT_TRUE(Run(write, 10s));

    const std::string file = testing::TempDir() + "wrenlet-readback-" + std::to_string(getpid()) + ".bin";
    const BossacRun run = Bossac("--read=1536 " + file);
    ASSERT_EQ(run.status, 0) << run.output;
    std::ifstream stream(file, std::ios::binary);
    const std::vector<uint8_t> read((std::istreambuf_iterator<char>(stream)),
                                    std::istreambuf_iterator<char>());
    std::remove(file.c_str());
    ASSERT_EQ(read.size(), 1536u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), read.begin()));
    // The last word's padding is the erased value.
    EXPECT_EQ(std::vector<uint8_t>(read.begin() + 1301, read.begin() + 1304), std::vector<uint8_t>(3, 0xFF));
}

TEST_F(SambaPeerTest, WhatBossacWritesOurEngineVerifies)
{
    const auto image = Wrenlet::FirmwareImage::build("3.1", 1301);
    const std::string file = testing::TempDir() + "wrenlet-image-" + std::to_string(getpid()) + ".bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), long(image.size()));
    const BossacRun run = Bossac("-e -w -v -b " + file);
    std::remove(file.c_str());
    ASSERT_EQ(run.status, 0) << run.output;
    std::vector<std::string> routines;
    fUnit->withBootLoader([&](Wrenlet::SambaBootLoader& loader) { routines = loader.routineLog(); });
    EXPECT_FALSE(routines.empty());

    VerifyFlash verify(*fEngine, image);
    EXPECT_TRUE(Run(verify, 10s));
    EXPECT_TRUE(fUnit->chip().bootFromFlash());
}

TEST_F(SambaPeerTest, BossacResetsTheUnitIntoRunMode)
{
    fUnit->installFirmware(Wrenlet::FirmwareImage::build("2.1", 1301));
    const BossacRun run = Bossac("-R");
    EXPECT_EQ(run.status, 0) << run.output;
    for (auto stepped = 0ns; fUnit->face() != Wrenlet::WrenletHardware::Face::RunMode && stepped < 2s;
         stepped += 1ms) {
        CoreFoundationTesting::advanceAndRun(fClock, 1ms);
    }
    EXPECT_EQ(fUnit->face(), Wrenlet::WrenletHardware::Face::RunMode);
}
