#include "DiscoveryFixture.h"

#include <LocalAddresses.h>
#include <MixerEndpoint.h>
#include <UDPDiscovery.h>
#include <UDPPort.h>

#include <DarwinTesting/Eventually.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using DarwinTesting::eventually;
using SimNetwork::LoopbackAddress;
using SimNetwork::MixerEndpoint;

class CountingClient : public UDPDiscovery::Client
{
public:
    void udp_rx() override { fCount.fetch_add(1); }
    std::atomic<int> fCount{0};
};

// A listener on a free port; its datagrams are drained into the update like the main thread does.
class SocketFixture : public DiscoveryFixture
{
protected:
    SocketFixture() : fDiscovery(std::make_unique<UDPDiscovery>(fClient, 0)) {}

    MixerEndpoint& endpoint(uint8_t host, MixerEndpoint::Identity identity)
    {
        return *fEndpoints.emplace_back(std::make_unique<MixerEndpoint>(
            LoopbackAddress::host(host), fDiscovery->port(), std::move(identity)));
    }

    // Waits for `count` more datagrams, then moves them into the test's queue.
    void receive(int count)
    {
        fExpected += count;
        ASSERT_TRUE(eventually([&] { return fClient.fCount.load() >= fExpected; }));
        for (std::string message; fDiscovery->messages().PopMessage(message);) {
            fQueue.PushMessage(message);
        }
    }

    static MixerEndpoint::Identity identity(const std::string& serial, std::string ip = "<src_ip>:9000")
    {
        return {.model = "Brio",
                .serial = serial,
                .name = "host-" + serial,
                .ip = std::move(ip),
                .deviceName = "Desk " + serial};
    }

    CountingClient fClient;
    int fExpected = 0;
    std::unique_ptr<UDPDiscovery> fDiscovery;
    std::vector<std::unique_ptr<MixerEndpoint>> fEndpoints;
};

TEST_F(SocketFixture, ReplacesThePlaceholderWithTheSendersAddress)
{
    fLocal = getMyIpAddresses();
    ASSERT_EQ(std::count(fLocal.begin(), fLocal.end(), "127.0.0.2"), 0)
        << "127.0.0.2 must stand for another machine";
    endpoint(1, identity("A")).announce();
    MixerEndpoint& remote = endpoint(2, identity("B"));
    remote.setField("name", "<src_ip>/<src_ip>");
    remote.announce();
    remote.setNetworkControl(true);
    remote.announce();
    receive(3);
    update(0);
    ASSERT_EQ(fUpdate.netDevices().size(), 2u);
    EXPECT_EQ(fUpdate.netDevices().begin()->first.ip, "127.0.0.1:9000");
    const NetworkDevice& second = std::next(fUpdate.netDevices().begin())->first;
    EXPECT_EQ(second.ip, "127.0.0.2:9000");
    EXPECT_EQ(second.hostname, "127.0.0.2/127.0.0.2");
}

TEST_F(SocketFixture, RewritesAnIpNamingThisMachinesOtherAddress)
{
    // The update is given this machine's addresses, so a documentation address stands for the
    // machine's own address outside loopback.
    fLocal = {"127.0.0.1", "192.0.2.7"};
    endpoint(2, identity("C", "192.0.2.7:7000")).announce();
    receive(1);
    update(0);
    ASSERT_EQ(fUpdate.netDevices().size(), 1u);
    EXPECT_EQ(fUpdate.netDevices().begin()->first.ip, "127.0.0.1:7000");
}

TEST_F(SocketFixture, KeepsDatagramsWholeUpToTheirLimit)
{
    MixerEndpoint& sender = endpoint(1, identity("D"));
    sender.sendEmpty();
    sender.sendOversized(2048);
    receive(1);
    EXPECT_EQ(fQueue.size(), 1u) << "an empty datagram is not queued";
    update(0);
    EXPECT_EQ(listedNames(), std::vector<std::string>{"Desk D"});

    sender.rename("Cut");
    sender.sendOversized(2049);
    sender.sendOversized(60000);
    receive(2);
    update(1);
    EXPECT_EQ(listedNames(), std::vector<std::string>{"Desk D"}) << "cut datagrams are no announcements";

    // A NUL byte inside a datagram is kept: a message is exactly the bytes received.
    const std::string rawNul("{\"x\":\"\0\"}", 9);
    sender.sendRaw(rawNul);
    receive(1);
    std::string raw;
    ASSERT_TRUE(fQueue.PopMessage(raw));
    EXPECT_EQ(raw, rawNul);
    sender.sendRaw("{\"model\":\"TideProxy-Brio\",\"ip\":\"<src_ip>:9000\",\"serial\":\"D\","
                   "\"name\":\"host-D\",\"deviceName\":\"a\\u0000b\"}");
    receive(1);
    update(2);
    const std::vector<std::string> names = listedNames();
    EXPECT_NE(std::find(names.begin(), names.end(), std::string("a\0b", 3)), names.end());
}

TEST_F(SocketFixture, IgnoresGarbageAndListsTheNextAnnouncement)
{
    MixerEndpoint& sender = endpoint(1, identity("E"));
    sender.sendRaw("\x01\x02garbage");
    sender.sendRaw("{\"model\":\"TideProxy-Brio\",\"ip\":");
    sender.sendRaw(std::string(1000, '[') + std::string(1000, ']'));
    sender.announce();
    receive(4);
    update(0);
    EXPECT_EQ(listedNames(), std::vector<std::string>{"Desk E"});
}

TEST_F(SocketFixture, SpoofedAnnouncementsAreSeparateEntriesAndAGoodbyeLastsUntilTheNextAnnouncement)
{
    MixerEndpoint& real = endpoint(1, identity("F"));
    MixerEndpoint& spoof = endpoint(3, identity("F"));
    spoof.setNetworkControl(true);
    real.announce();
    spoof.announce();
    receive(2);
    update(0);
    EXPECT_EQ(fUpdate.netDevices().size(), 2u);

    MixerEndpoint& third = endpoint(4, identity("F", "127.0.0.1:9000"));
    third.goodbye();
    receive(1);
    update(1);
    EXPECT_EQ(fUpdate.netDevices().size(), 1u) << "a third party's goodbye removes the local entry";
    real.announce();
    receive(1);
    update(2);
    EXPECT_EQ(fUpdate.netDevices().size(), 2u);
}

TEST_F(SocketFixture, PythonsOwnEscapesYieldTheRecordsPythonExpects)
{
    const std::string script =
        "import json, socket, sys\n"
        "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
        "s.bind(('127.0.0.1', 0))\n"
        "d = {'model': 'TideProxy-Brio', 'ip': '<src_ip>:9000', 'serial': 'P', 'name': 'caf\\u00e9/x',"
        " 'deviceName': '\\U0001F39B Caf\\u00e9'}\n"
        "s.sendto(json.dumps(d).replace('/', '\\\\/').encode(), ('127.0.0.1', int(sys.argv[1])))\n";
    const std::string path = testing::TempDir() + "sender-" + std::to_string(getpid()) + ".py";
    FILE* file = std::fopen(path.c_str(), "w");
    std::fputs(script.c_str(), file);
    std::fclose(file);
    const int status = std::system(("python3 " + path + " " + std::to_string(fDiscovery->port())).c_str());
    std::remove(path.c_str());
    ASSERT_EQ(status, 0);
    receive(1);
    const std::vector<std::string> calls = fUpdate.update(fQueue, kStart, fLocal);
    // python3: base64.b64encode(json.dumps(record, separators=(",", ":"), sort_keys=True,
    // ensure_ascii=False).encode())
    const std::string expected =
        "eyJkZXZpY2VOYW1lIjoi8J+OmyBDYWbDqSIsImhvc3RuYW1lIjoiY2Fmw6kveCIsImlwIjoiMTI3LjAuMC4xOjkw"
        "MDAiLCJtb2RlbCI6IkJyaW8iLCJzZXJpYWwiOiJQIn0=";
    EXPECT_EQ(calls,
              std::vector<std::string>{"gApp.appdata.networkDeviceList.discoveryAdd('" + expected + "')"});
}

TEST(UDPDiscoveryShutdown, AQuietListenerClosesAndFreesItsPort)
{
    CountingClient client;
    testing::internal::CaptureStdout();
    uint16_t port;
    {
        UDPDiscovery discovery(client, 0);
        port = discovery.port();
        ASSERT_NE(port, 0);
        // One datagram brings the reader round to its next receive, where it then waits.
        MixerEndpoint(LoopbackAddress::host(6), port, {.serial = "Q", .name = "q"}).sendRaw("x");
        ASSERT_TRUE(eventually([&] { return client.fCount.load() == 1; }));
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Socket closed\n");
    EXPECT_TRUE(SimNetwork::udpPortIsFree(port));
}

TEST(UDPDiscoveryShutdown, AListenerUnderTrafficCloses)
{
    CountingClient client;
    auto discovery = std::make_unique<UDPDiscovery>(client, 0);
    MixerEndpoint sender(LoopbackAddress::host(5), discovery->port(), {.serial = "T", .name = "t"});
    std::atomic<bool> sending{true};
    std::thread flood([&] {
        while (sending.load()) {
            sender.sendRaw("{}");
        }
    });
    ASSERT_TRUE(eventually([&] { return client.fCount.load() > 10; }));
    testing::internal::CaptureStdout();
    discovery.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Socket closed\n");
    sending.store(false);
    flood.join();
}

TEST(UDPDiscoveryShutdown, APortHeldByAnotherSocketStartsNoReaderAndStillCloses)
{
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    CountingClient client;
    testing::internal::CaptureStdout();
    {
        UDPDiscovery discovery(client, ntohs(address.sin_port));
        EXPECT_EQ(discovery.port(), 0);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Socket closed\n");
    close(holder);
}

TEST(LocalAddresses, HoldLoopbackAndOnlyDottedIPv4)
{
    const std::vector<std::string> addresses = getMyIpAddresses();
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
    for (const std::string& address : addresses) {
        in_addr parsed{};
        EXPECT_EQ(inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
    }
}

} // namespace
