#include <ChannelNameWalk.h>

#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <KorvanInterface/Descriptors.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using KorvanDeviceIO::kNameFieldBytes;

constexpr uint8_t kTerminalLink = 5;
constexpr uint8_t kSourceTerminal = 9;

// Strings the device returns by index; every request is recorded.
struct Strings
{
    static const StandardUSB::StringDescriptor* get(void* context, uint8_t index, uint32_t* bytesReturned)
    {
        auto* self = static_cast<Strings*>(context);
        self->fRequested.push_back(index);
        auto found = self->fBytes.find(index);
        if (found == self->fBytes.end()) {
            return nullptr;
        }
        *bytesReturned = uint32_t(found->second.size());
        return reinterpret_cast<const StandardUSB::StringDescriptor*>(found->second.data());
    }

    std::map<uint8_t, std::vector<uint8_t>> fBytes;
    std::vector<uint8_t> fRequested;
};

std::vector<uint8_t> inputTerminal(uint8_t id, uint16_t type, uint8_t channels, uint8_t firstName)
{
    return {17,        0x24, 2, id, uint8_t(type), uint8_t(type >> 8), 0, 0, channels, 0, 0, 0, 0,
            firstName, 0,    0, 0};
}

// Streaming interface 2 at alternate 1 with an AS_GENERAL of `channels` linked to terminal 5, and
// the terminals given.
std::vector<uint8_t> configuration(uint8_t channels, const std::vector<std::vector<uint8_t>>& terminals)
{
    std::vector<uint8_t> bytes = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    for (const std::vector<uint8_t>& terminal : terminals) {
        bytes.insert(bytes.end(), terminal.begin(), terminal.end());
    }
    const std::vector<uint8_t> interface = {9, 4, 2, 1, 1, 1, 2, 0x20, 0};
    const std::vector<uint8_t> general = {16, 0x24, 1, kTerminalLink, 0, 1, 1, 0, 0, 0, channels, 0, 0,
                                          0,  0,    0};
    bytes.insert(bytes.end(), interface.begin(), interface.end());
    bytes.insert(bytes.end(), general.begin(), general.end());
    bytes[2] = uint8_t(bytes.size());
    bytes[3] = uint8_t(bytes.size() >> 8);
    return bytes;
}

struct WalkCase
{
    const char* fName;
    std::vector<uint8_t> fConfiguration;
    std::map<uint8_t, std::vector<uint8_t>> fStrings;
    int fCount;
    std::vector<uint8_t> fRequested;
    std::string fFirstName;
};

void PrintTo(const WalkCase& c, std::ostream* out)
{
    *out << c.fName;
}

std::map<uint8_t, std::vector<uint8_t>> names(uint8_t first, unsigned count)
{
    std::map<uint8_t, std::vector<uint8_t>> strings;
    for (unsigned channel = 0; channel < count; ++channel) {
        strings[uint8_t(first + channel)] =
            KorvanInterface::stringDescriptor("Name " + std::to_string(channel));
    }
    return strings;
}

std::vector<uint8_t> indices(uint8_t first, unsigned count)
{
    std::vector<uint8_t> requested;
    for (unsigned channel = 0; channel < count; ++channel) {
        requested.push_back(uint8_t(first + channel));
    }
    return requested;
}

class KextChannelNameWalkTests : public testing::TestWithParam<WalkCase>
{};

TEST_P(KextChannelNameWalkTests, NamesComeFromTheTerminalTheStreamingInterfaceLinks)
{
    const WalkCase& c = GetParam();
    const auto* copy =
        KernelIOKitTesting::copyConfiguration(c.fConfiguration.data(), c.fConfiguration.size());
    Strings strings{c.fStrings, {}};
    char result[KorvanDeviceIO::kMaxDMAChannels][kNameFieldBytes] = {};

    EXPECT_EQ(ChannelNameWalk::Names(copy, 2, 1, true, &Strings::get, &strings, result), c.fCount);

    EXPECT_EQ(strings.fRequested, c.fRequested);
    if (c.fCount > 0) {
        EXPECT_EQ(std::string(result[0]), c.fFirstName);
    }
    KernelIOKitTesting::freeConfiguration(copy);
}

// The 2-byte string descriptor holds no character.
const std::vector<uint8_t> kEmptyString = {2, 3};

INSTANTIATE_TEST_SUITE_P(
    Fixtures, KextChannelNameWalkTests,
    testing::Values(
        WalkCase{"ADirectInputTerminal", configuration(4, {inputTerminal(kTerminalLink, 0x0101, 4, 20)}),
                 names(20, 4), 4, indices(20, 4), "Name 0"},
        WalkCase{"AnOutputTerminalFedByAnInputTerminal",
                 configuration(3, {inputTerminal(kSourceTerminal, 0x0602, 3, 40),
                                   {12, 0x24, 3, kTerminalLink, 0x01, 0x01, 0, kSourceTerminal, 0, 0, 0, 0}}),
                 names(40, 3), 3, indices(40, 3), "Name 0"},
        WalkCase{"IndicesWrapModulo256", configuration(10, {inputTerminal(kTerminalLink, 0x0101, 10, 250)}),
                 names(250, 10), 10, indices(250, 10), "Name 0"},
        WalkCase{"AMissingStringIsAnError", configuration(3, {inputTerminal(kTerminalLink, 0x0101, 3, 20)}),
                 names(20, 1), -1, indices(20, 2), ""},
        WalkCase{"AStringShorterThanThreeBytesIsAnError",
                 configuration(2, {inputTerminal(kTerminalLink, 0x0101, 2, 20)}),
                 {{20, kEmptyString}, {21, kEmptyString}},
                 -1,
                 indices(20, 1),
                 ""}),
    [](const testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.fName); });

} // namespace
