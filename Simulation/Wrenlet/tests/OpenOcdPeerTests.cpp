// OpenOCD, an independent JTAG host, against the target through the remote_bitbang bridge.
#include <Wrenlet/FpgaBitstream.h>
#include <Wrenlet/JtagTarget.h>
#include <Wrenlet/RemoteBitbangBridge.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using Wrenlet::JtagTarget;

namespace {

class Scratch
{
public:
    Scratch()
    {
        char pattern[] = "/tmp/openocd-peer-XXXXXX";
        fPath = mkdtemp(pattern);
    }
    ~Scratch() { std::filesystem::remove_all(fPath); }
    std::string path(const std::string& name) const { return fPath + "/" + name; }

private:
    std::string fPath;
};

// Runs OpenOCD against the bridge with the variant's expected IDCODE and the given commands; returns
// its output.
std::string openocd(const Wrenlet::RemoteBitbangBridge& bridge, uint32_t expectedId,
                    const std::string& commands, const Scratch& scratch)
{
    char id[16];
    std::snprintf(id, sizeof id, "0x%08x", expectedId);
    const std::string command =
        "timeout 60 openocd -c 'adapter driver remote_bitbang' -c 'remote_bitbang host "
        "127.0.0.1' -c 'remote_bitbang port " +
        std::to_string(bridge.port()) + "' -c 'transport select jtag' -c 'jtag newtap wrn fpga -irlen " +
        std::to_string(JtagTarget::kIRLength) + " -expected-id " + id + "' -c init " + commands +
        " -c shutdown > " + scratch.path("openocd.log") + " 2>&1";
    std::system(command.c_str());
    std::ifstream in(scratch.path("openocd.log"));
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(OpenOcdPeer, FindsTheTapOfEachVariant)
{
    for (const char variant : {'A', 'B', 'C'}) {
        JtagTarget target(variant);
        const Wrenlet::RemoteBitbangBridge bridge(target);
        const Scratch scratch;
        const std::string log = openocd(bridge, JtagTarget::idcodeOf(variant), "", scratch);
        char found[80];
        std::snprintf(found, sizeof found, "tap/device found: 0x%08x", JtagTarget::idcodeOf(variant));
        EXPECT_NE(log.find(found), std::string::npos) << log;
        EXPECT_EQ(log.find("UNEXPECTED"), std::string::npos) << log;
    }
}

// SVF numbers are written most significant bit first; the first bit shifted is the value's bit 0.
std::string hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

TEST(OpenOcdPeer, AnSvfFileConfiguresTheModel)
{
    const std::vector<uint8_t> payload(200, 0x5A);
    std::vector<uint8_t> bitstream = Wrenlet::makeFpgaBitstream('A', "1.0", payload);
    bitstream.resize((bitstream.size() + 3) / 4 * 4);
    const Scratch scratch;
    std::ofstream svf(scratch.path("program.svf"));
    svf << "ENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\n";
    for (const uint16_t instruction : {JtagTarget::ENABLE, JtagTarget::ERASE, JtagTarget::PROGRAM}) {
        svf << "SIR 10 TDI (" << hex(instruction, 3) << ");\n";
    }
    for (size_t i = 0; i < bitstream.size(); i += 4) {
        const uint32_t word = uint32_t(bitstream[i]) | uint32_t(bitstream[i + 1]) << 8 |
                              uint32_t(bitstream[i + 2]) << 16 | uint32_t(bitstream[i + 3]) << 24;
        svf << "SDR 32 TDI (" << hex(word, 8) << ");\n";
    }
    svf << "SIR 10 TDI (" << hex(JtagTarget::DONE, 3) << ");\nRUNTEST " << JtagTarget::kDoneClocks + 20
        << " TCK;\nSIR 10 TDI (" << hex(JtagTarget::STATUS, 3)
        << ");\nSDR 32 TDI (00000000) TDO (00000004) MASK "
        << "(00000004);\n";
    svf.close();

    JtagTarget target('A');
    target.setConfigured("0.9");
    const Wrenlet::RemoteBitbangBridge bridge(target);
    const std::string log =
        openocd(bridge, JtagTarget::idcodeOf('A'), "-c 'svf " + scratch.path("program.svf") + "'", scratch);
    EXPECT_EQ(target.fpgaVersion(), "1.0") << log;
    EXPECT_EQ(log.find("failed"), std::string::npos) << log;
}

} // namespace
