#include <MixerEndpoint.h>

#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using SimNetwork::LoopbackAddress;
using SimNetwork::MixerEndpoint;

// A plain listener on 127.0.0.1 at a free port.
class Listener
{
public:
    Listener()
    {
        fSocket = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(fSocket, reinterpret_cast<sockaddr*>(&address), &length);
        fPort = ntohs(address.sin_port);
    }
    ~Listener() { close(fSocket); }

    // The next datagram and its sender, waiting at most ten seconds of real time.
    std::optional<std::pair<std::string, std::string>> receive()
    {
        pollfd entry{fSocket, POLLIN, 0};
        if (poll(&entry, 1, 10000) != 1) {
            return std::nullopt;
        }
        char buffer[70000];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t size =
            recvfrom(fSocket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &sender.sin_addr, dotted, sizeof dotted);
        return std::make_pair(std::string(buffer, static_cast<size_t>(std::max<ssize_t>(size, 0))),
                              std::string(dotted));
    }

    bool nothingWaiting()
    {
        pollfd entry{fSocket, POLLIN, 0};
        return poll(&entry, 1, 0) == 0;
    }

    uint16_t fPort = 0;

private:
    int fSocket = -1;
};

TEST(LoopbackAddress, HoldsOnlyTheLoopbackNetwork)
{
    EXPECT_EQ(LoopbackAddress::fromText("127.0.0.2")->text(), "127.0.0.2");
    EXPECT_EQ(LoopbackAddress::fromText("127.255.0.9")->text(), "127.255.0.9");
    for (const char* outside : {"128.0.0.1", "10.0.0.1", "0.0.0.0", "localhost", "127.0.0", ""}) {
        EXPECT_FALSE(LoopbackAddress::fromText(outside)) << outside;
    }
}

TEST(MixerEndpoint, SendsExactlyTheBytesItWasToldFromItsOwnAddress)
{
    Listener listener;
    MixerEndpoint endpoint(LoopbackAddress::host(3), listener.fPort, {.serial = "S1", .name = "host"});
    const std::string raw("{\"a\":\0\xFF}", 9);
    endpoint.sendRaw(raw);
    endpoint.sendEmpty();
    endpoint.sendOversized(3000);
    auto first = listener.receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->first, raw);
    EXPECT_EQ(first->second, "127.0.0.3");
    EXPECT_EQ(listener.receive()->first, "");
    const std::string oversized = listener.receive()->first;
    EXPECT_EQ(oversized.size(), 3000u);
    EXPECT_EQ(nlohmann::json::parse(oversized), endpoint.announcement());
    ASSERT_EQ(endpoint.sent().size(), 3u);
    EXPECT_EQ(endpoint.sent()[0].fBytes, raw);
}

TEST(MixerEndpoint, AnnouncesOnTheManualClockAndFloodsOnlyItsCount)
{
    DarwinTesting::ManualClock clock;
    Listener listener;
    MixerEndpoint endpoint(LoopbackAddress::host(2), listener.fPort, {.serial = "S2", .name = "host"});
    endpoint.startAnnouncing(std::chrono::seconds(1));
    clock.advance(std::chrono::milliseconds(999));
    EXPECT_TRUE(endpoint.sent().empty());
    clock.advance(std::chrono::milliseconds(2001));
    EXPECT_EQ(endpoint.sent().size(), 3u);
    endpoint.goSilent();
    clock.advance(std::chrono::seconds(5));
    EXPECT_EQ(endpoint.sent().size(), 3u);
    endpoint.flood(50);
    EXPECT_EQ(endpoint.sent().size(), 53u);
    for (int i = 0; i < 53; ++i) {
        ASSERT_TRUE(listener.receive()) << i;
    }
    EXPECT_TRUE(listener.nothingWaiting());
}

TEST(MixerEndpoint, AnnouncementsCarryItsIdentityAndChanges)
{
    Listener listener;
    MixerEndpoint endpoint(LoopbackAddress::host(4), listener.fPort, {.serial = "S4", .name = "host"});
    endpoint.rename("Booth");
    endpoint.setNetworkControl(true);
    EXPECT_EQ(endpoint.announcement(), (nlohmann::json{{"model", "TideProxy-Brio"},
                                                       {"ip", "<src_ip>:8080"},
                                                       {"serial", "S4"},
                                                       {"name", "host"},
                                                       {"deviceName", "Booth"},
                                                       {"networkControl", "enabled"}}));
    endpoint.goodbye();
    EXPECT_EQ(nlohmann::json::parse(listener.receive()->first)["status"], "disconnected");
}

} // namespace
