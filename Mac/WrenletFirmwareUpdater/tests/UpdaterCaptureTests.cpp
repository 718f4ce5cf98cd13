// An update's bulk traffic as tshark reads it from the capture left in the build folder.

#include "UpdaterHarness.h"

#include <SimUSBTesting/Tshark.h>

#include <unistd.h>

using namespace UpdaterTests;

namespace {

// "4e:23" or "4e23" as text.
std::string FromHex(const std::string& hex)
{
    std::string text;
    for (size_t at = 0; at + 1 < hex.size();) {
        if (hex[at] == ':') {
            ++at;
            continue;
        }
        text.push_back(char(std::stoi(hex.substr(at, 2), nullptr, 16)));
        at += 2;
    }
    return text;
}

} // namespace

TEST_F(UpdaterHarness, CaptureShowsTheUpdatesPayloadsInOrder)
{
    const std::string path =
        std::string(WRENLET_CAPTURE_DIR) + "/wrenlet-update-" + std::to_string(getpid()) + ".pcap";
    ASSERT_TRUE(SimUSB::Bus::shared().startCapture(path));
    fUnit->setFpgaVersion("7.5");
    fUnit->powerOn();
    Launch();
    ASSERT_TRUE(RunUntil([&] { return fDelegate->IsConnected(); }, 5s));
    fDelegate->UpdateButton->performClick();
    ASSERT_TRUE(RunUntil([&] { return TheUpdater().GetState() == Updater::kIdle && Finished(); }, 60s));
    SimUSB::Bus::shared().stopCapture();

    // Bulk OUT payloads of the boot loader's data pipe, in order.
    const auto lines = SimUSBTesting::tshark(path, "-Y 'usb.transfer_type == 0x03 && usb.endpoint_address == "
                                                   "0x01 && usb.capdata' -T fields -e usb.capdata");
    ASSERT_FALSE(lines.empty()) << "tshark read nothing from " << path;
    std::string sent;
    for (const std::string& line : lines) {
        sent += FromHex(line);
    }
    const size_t normal = sent.find("N#");
    const size_t clear = sent.find("W400E0C04,5A00010C#");
    const size_t page = sent.find("W00400000,");
    const size_t reset = sent.find("W400E1800,A5000001#");
    EXPECT_LT(normal, clear);
    EXPECT_LT(clear, page);
    EXPECT_LT(page, reset);
    EXPECT_NE(reset, std::string::npos);
}
