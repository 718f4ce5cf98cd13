#include <SimUSB/PacketStore.h>

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

struct PacketCase
{
    size_t length;
    size_t room;
};

class PacketStoreTest : public testing::TestWithParam<PacketCase>
{};

// At every position within a cache line: the packet's bytes land, and the slot's bytes past it keep
// their filler, whichever store publishes the packet.
TEST_P(PacketStoreTest, WritesThePacketAndKeepsTheFillerPastIt)
{
    const PacketCase c = GetParam();
    std::vector<uint8_t> packet(c.length);
    std::iota(packet.begin(), packet.end(), uint8_t(1));
    for (size_t offset = 0; offset < 64; ++offset) {
        alignas(64) uint8_t memory[256];
        std::fill(std::begin(memory), std::end(memory), 0xAA);
        SimUSB::storePacket(memory + offset, packet.data(), c.length, c.room);
        for (size_t i = 0; i < c.length; ++i) {
            ASSERT_EQ(memory[offset + i], packet[i]) << "offset " << offset << ", byte " << i;
        }
        for (size_t i = offset + c.length; i < sizeof memory; ++i) {
            ASSERT_EQ(memory[i], 0xAA) << "offset " << offset << ", byte " << i;
        }
        for (size_t i = 0; i < offset; ++i) {
            ASSERT_EQ(memory[i], 0xAA) << "offset " << offset << ", byte " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, PacketStoreTest,
                         testing::Values(PacketCase{1, 1}, PacketCase{3, 3}, PacketCase{3, 64},
                                         PacketCase{7, 8}, PacketCase{8, 8}, PacketCase{9, 9},
                                         PacketCase{100, 100}, PacketCase{100, 150}));

} // namespace
