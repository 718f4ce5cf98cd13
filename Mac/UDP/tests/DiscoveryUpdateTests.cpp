#include "DiscoveryFixture.h"

#include <unistd.h>

namespace {

using Json = nlohmann::json;

struct ListingRow
{
    const char* fName;
    Json fAnnouncement;
    std::string fSender;
    // The listed endpoint's ip and model, or empty when nothing is listed.
    std::string fIp;
    std::string fModel = "Brio";
};

Json with(Json announcement, const std::string& key, Json value)
{
    if (value.is_null() && key.front() == '-') {
        announcement.erase(key.substr(1));
    } else {
        announcement[key] = std::move(value);
    }
    return announcement;
}

Json remote(const std::string& deviceName = "Stage")
{
    return {{"model", "TideProxy-Tenor"},
            {"ip", "<src_ip>:9000"},
            {"serial", "TN0002"},
            {"name", "tenor-host"},
            {"deviceName", deviceName}};
}

TEST_F(DiscoveryFixture, ListsAnAnnouncementOnlyWhenItIsValidAndAllowed)
{
    const Json local = endpoint("Studio A");
    const std::vector<ListingRow> rows = {
        {"local sender rewritten to loopback", local, "192.168.1.20", "127.0.0.1:8080"},
        {"remote without network control", remote(), "192.168.1.30", ""},
        {"remote with network control true", with(remote(), "networkControl", true), "192.168.1.30", ""},
        {"remote with network control enabled", with(remote(), "networkControl", "enabled"), "192.168.1.30",
         "192.168.1.30:9000", "Tenor"},
        {"remote claiming loopback", with(remote(), "ip", "127.0.0.1:9000"), "192.168.1.30", "127.0.0.1:9000",
         "Tenor"},
        {"model without the marker", with(local, "model", "Brio"), "127.0.0.1", ""},
        {"marker inside the model", with(local, "model", "Vork TideProxy-Brio"), "127.0.0.1",
         "127.0.0.1:8080"},
        {"ip without a colon", with(with(local, "ip", "192.168.1.20"), "networkControl", "enabled"),
         "127.0.0.1", "192.168.1.20"},
        {"ip ending in a colon", with(with(local, "ip", "192.168.1.20:"), "networkControl", "enabled"),
         "127.0.0.1", "192.168.1.20:"},
        {"required key missing", with(local, "-serial", nullptr), "127.0.0.1", ""},
        {"required key a number", with(local, "serial", 5), "127.0.0.1", ""},
        {"required key null", with(local, "name", nullptr), "127.0.0.1", ""},
        {"required key an object", with(local, "ip", Json::object()), "127.0.0.1", ""},
        {"status disconnected", with(local, "status", "disconnected"), "127.0.0.1", ""},
    };
    for (const ListingRow& row : rows) {
        SCOPED_TRACE(row.fName);
        DiscoveryUpdate fresh;
        fUpdate = fresh;
        fPage = MixerPageModel();
        hear(row.fAnnouncement, row.fSender);
        update(0);
        if (row.fIp.empty()) {
            EXPECT_TRUE(fUpdate.netDevices().empty());
        } else {
            ASSERT_EQ(fUpdate.netDevices().size(), 1u);
            EXPECT_EQ(fUpdate.netDevices().begin()->first.ip, row.fIp);
            EXPECT_EQ(fUpdate.netDevices().begin()->first.model, row.fModel);
        }
    }
}

TEST_F(DiscoveryFixture, IgnoresDatagramsThatAreNoAnnouncementAndListsTheNextOne)
{
    const std::vector<std::string> garbage = {
        "",
        "[1,2]",
        "\"text\"",
        "42",
        "null",
        "{\"model\":",
        "{}",
        "\xFF\xFE{}",
        std::string("{\"model\":\"TideProxy-\xC3\"}"),
        std::string(1000, '[') + std::string(1000, ']'),
        "{\"model\":\"TideProxy-Brio\",\"ip\":\"127.0.0.1:1\",\"serial\":\"s\",\"name\":\"n\"} trailing",
    };
    for (const std::string& datagram : garbage) {
        hearBytes(datagram);
    }
    hear(endpoint("After"));
    update(0);
    EXPECT_EQ(listedNames(), std::vector<std::string>{"After"});
}

TEST_F(DiscoveryFixture, OptionalKeysOfAnotherTypeCountAsAbsent)
{
    hear(with(endpoint(""), "deviceName", 5));
    hear(with(with(remote("Remote"), "networkControl", Json::array({"enabled"})), "status", "connected"),
         "192.168.1.30");
    update(0);
    EXPECT_EQ(listedNames(), std::vector<std::string>{""});
}

TEST_F(DiscoveryFixture, ExpiresAnEndpointSilentForMoreThanTwelveSeconds)
{
    hear(endpoint("Studio A"));
    update(0);
    update(12.0);
    EXPECT_EQ(listedNames(), std::vector<std::string>{"Studio A"});
    EXPECT_EQ(update(12.1), std::vector<std::string>{removeCall(device("Studio A"))});
    EXPECT_TRUE(listedNames().empty());
}

TEST_F(DiscoveryFixture, ANewEndpointRenamedWithinOneUpdateIsAddedOnceUnderItsLastName)
{
    hear(endpoint("First"));
    hear(endpoint("Second"));
    EXPECT_EQ(update(0), std::vector<std::string>{addCall(device("Second"))});
    update(20);
    EXPECT_TRUE(listedNames().empty()) << "no ghost is left behind";
}

TEST_F(DiscoveryFixture, ARenameAcrossUpdatesRemovesTheOldRecordAndAddsTheNew)
{
    hear(endpoint("Studio A"));
    update(0);
    hear(endpoint("Studio B"));
    EXPECT_EQ(update(1),
              (std::vector<std::string>{removeCall(device("Studio A")), addCall(device("Studio B"))}));
}

TEST_F(DiscoveryFixture, AGoodbyeRemovesAKnownEndpointAtOnceAndIsIgnoredForANewOne)
{
    hear(endpoint("Studio A"));
    update(0);
    hear(with(endpoint("Studio A"), "status", "disconnected"));
    hear(with(endpoint("Other", "<src_ip>:8081"), "status", "disconnected"));
    EXPECT_EQ(update(1), std::vector<std::string>{removeCall(device("Studio A"))});
}

TEST_F(DiscoveryFixture, ARefreshListsEveryEndpointOnceAndIsThenCleared)
{
    hear(endpoint("Studio A"));
    hear(with(endpoint("Booth", "<src_ip>:8081"), "serial", "BR0002"));
    update(0);
    fUpdate.requestRefresh();
    EXPECT_EQ(update(1).size(), 2u);
    EXPECT_TRUE(update(2).empty());
}

TEST_F(DiscoveryFixture, ALocalIpWithALongTailIsCutOnACharacterBoundary)
{
    std::string tail;
    while (tail.size() < 200) {
        tail += "\xC3\xA9"; // é
    }
    hear(with(endpoint("Long"), "ip", "192.168.1.20:" + tail), "127.0.0.1");
    update(0);
    ASSERT_EQ(fUpdate.netDevices().size(), 1u);
    const std::string& ip = fUpdate.netDevices().begin()->first.ip;
    EXPECT_EQ(ip.size(), 126u) << "127 bytes would split a two-byte character";
    EXPECT_TRUE(ip.starts_with("127.0.0.1:\xC3\xA9"));
}

TEST_F(DiscoveryFixture, RecordsAreByteForByteWhatPythonWrites)
{
    const std::vector<std::string> names = {
        "Studio",   "Caf\xC3\xA9 \xC3\x9C", "\xE6\xB7\xB7\xE9\x9F\xB3", "\xF0\x9F\x8E\x9B",
        "a\"quote", "back\\slash",          std::string("\x01"),        "a/b"};
    std::string script = "import base64, json, sys\nfor name in sys.stdin.read().split('\\n')[:-1]:\n"
                         "    d = {'ip': '127.0.0.1:8080', 'serial': 'BR0001', 'hostname': 'brio-host',"
                         " 'model': 'Brio', 'deviceName': bytes.fromhex(name).decode()}\n"
                         "    print(base64.b64encode(json.dumps(d, separators=(',', ':'), sort_keys=True,"
                         " ensure_ascii=False).encode()).decode())\n";
    std::string input;
    for (const std::string& name : names) {
        for (unsigned char c : name) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", c);
            input += hex;
        }
        input += "\n";
    }
    const std::string scriptPath = testing::TempDir() + "records-" + std::to_string(getpid()) + ".py";
    const std::string inputPath = testing::TempDir() + "records-" + std::to_string(getpid()) + ".txt";
    FILE* file = std::fopen(scriptPath.c_str(), "w");
    std::fputs(script.c_str(), file);
    std::fclose(file);
    file = std::fopen(inputPath.c_str(), "w");
    std::fputs(input.c_str(), file);
    std::fclose(file);
    FILE* python = popen(("python3 " + scriptPath + " < " + inputPath).c_str(), "r");
    ASSERT_NE(python, nullptr);
    char line[4096];
    for (const std::string& name : names) {
        ASSERT_NE(std::fgets(line, sizeof line, python), nullptr);
        std::string expected(line);
        expected.pop_back();
        EXPECT_EQ(deviceRecord(device(name)), expected) << name;
    }
    EXPECT_EQ(pclose(python), 0);
    std::remove(scriptPath.c_str());
    std::remove(inputPath.c_str());
}

TEST(MessageQueue, KeepsTheNewestMessagesWhenFull)
{
    MessageQueue queue;
    for (int i = 0; i < 1100; ++i) {
        queue.PushMessage(std::to_string(i));
    }
    EXPECT_EQ(queue.size(), MessageQueue::kCapacity);
    std::string first;
    ASSERT_TRUE(queue.PopMessage(first));
    EXPECT_EQ(first, "76");
}

} // namespace
