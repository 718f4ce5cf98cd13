#pragma once

// The update without sockets: announcements go straight into the queue, the clock reading and the
// local addresses are the test's, and the page stand-in receives every call. After every update
// the page lists exactly the table's endpoints, and so does the by-endpoint set.

#include <Announcement.h>
#include <DeviceRecord.h>
#include <DiscoveryUpdate.h>
#include <MixerPageModel.h>

#include <gtest/gtest.h>

class DiscoveryFixture : public testing::Test
{
protected:
    static constexpr double kStart = 800000000.0;

    // Queues the announcement with "<src_ip>" already replaced by `sender`.
    void hear(nlohmann::json announcement, const std::string& sender = "127.0.0.1")
    {
        hearBytes(announcement.dump(), sender);
    }

    void hearBytes(std::string datagram, const std::string& sender = "127.0.0.1")
    {
        replaceSourcePlaceholder(datagram, sender);
        fQueue.PushMessage(std::move(datagram));
    }

    // One update at `now` seconds after the start; answers its page calls.
    std::vector<std::string> update(double now)
    {
        std::vector<std::string> calls = fUpdate.update(fQueue, kStart + now, fLocal);
        for (const std::string& call : calls) {
            fPage.evaluate(call);
        }
        expectPageMatchesTable();
        return calls;
    }

    void expectPageMatchesTable()
    {
        std::vector<std::string> table;
        for (const auto& entry : fUpdate.netDevices()) {
            table.push_back(deviceRecord(entry.first));
        }
        EXPECT_TRUE(fPage.listsExactly(table)) << "the page's list is not the table's";
        std::vector<std::string> all;
        for (const NetworkDevice& device : fUpdate.allDevices()) {
            all.push_back(deviceRecord(device));
        }
        EXPECT_EQ(all, table) << "the by-endpoint set is not the table's";
        EXPECT_TRUE(fPage.problems().empty()) << fPage.problems().front();
    }

    std::vector<std::string> listedNames() const { return fPage.deviceNames(); }

    static nlohmann::json endpoint(const std::string& deviceName, const std::string& ip = "<src_ip>:8080")
    {
        return {{"model", "TideProxy-Brio"},
                {"ip", ip},
                {"serial", "BR0001"},
                {"name", "brio-host"},
                {"deviceName", deviceName}};
    }

    static std::string addCall(const NetworkDevice& device)
    {
        return "gApp.appdata.networkDeviceList.discoveryAdd('" + deviceRecord(device) + "')";
    }

    static std::string removeCall(const NetworkDevice& device)
    {
        return "gApp.appdata.networkDeviceList.discoveryRemove('" + deviceRecord(device) + "')";
    }

    static NetworkDevice device(const std::string& deviceName, const std::string& ip = "127.0.0.1:8080")
    {
        return NetworkDevice{ip, "BR0001", "brio-host", "Brio", deviceName};
    }

    MessageQueue fQueue;
    DiscoveryUpdate fUpdate;
    MixerPageModel fPage;
    std::vector<std::string> fLocal{"127.0.0.1", "192.168.1.20"};
};
