// Announcements from the network: the first byte picks the sender (this machine, another one, or
// loopback); up to eight datagrams follow, each cut to the listener's 2,048 bytes and each with a
// step of 0, 2, 12 or 12.1 s before the next update. Nothing escapes an update, the page's list is
// the table's after each one, and every record the page gets is five strings that encode back to
// the same bytes.

#include <Announcement.h>
#include <DeviceRecord.h>
#include <DiscoveryUpdate.h>
#include <MixerPageModel.h>
#include <UDPDiscovery.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "mixer_announcement: %s\n", what);
    std::abort();
}

const std::vector<std::string> kLocal = {"127.0.0.1", "192.168.1.20"};
const char* const kSenders[] = {"192.168.1.20", "192.168.1.30", "127.0.0.1"};
const double kSteps[] = {0, 2, 12, 12.1};

void checkCalls(const std::vector<std::string>& calls, MixerPageModel& page)
{
    for (const std::string& call : calls) {
        const size_t open = call.find("('");
        const std::string base64 = call.substr(open + 2, call.size() - open - 4);
        std::optional<nlohmann::json> record = MixerPageModel::decodeRecord(base64);
        if (!record) {
            fail("a record that is not five strings");
        }
        const NetworkDevice device{(*record)["ip"], (*record)["serial"], (*record)["hostname"],
                                   (*record)["model"], (*record)["deviceName"]};
        if (deviceRecord(device) != base64) {
            fail("a record that does not encode back to its bytes");
        }
        page.evaluate(call);
    }
}

void checkPage(const DiscoveryUpdate& update, const MixerPageModel& page)
{
    std::vector<std::string> table;
    for (const auto& entry : update.netDevices()) {
        table.push_back(deviceRecord(entry.first));
    }
    std::vector<std::string> all;
    for (const NetworkDevice& device : update.allDevices()) {
        all.push_back(deviceRecord(device));
    }
    if (!page.listsExactly(table) || all != table || !page.problems().empty()) {
        fail("the page's list is not the table's");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string sender = kSenders[data[0] % 3];
    size_t at = 1;
    MessageQueue queue;
    DiscoveryUpdate update;
    MixerPageModel page;
    double now = 800000000.0;
    for (int datagram = 0; datagram < 8 && at + 3 <= size; ++datagram) {
        const double step = kSteps[data[at] % 4];
        const size_t length = std::min<size_t>((size_t(data[at + 1]) << 8 | data[at + 2]), size - at - 3);
        std::string message(reinterpret_cast<const char*>(data + at + 3), length);
        at += 3 + length;
        message.resize(std::min(message.size(), UDPDiscovery::kMaximumDatagram));
        replaceSourcePlaceholder(message, sender);
        if (!message.empty()) {
            queue.PushMessage(std::move(message));
        }
        now += step;
        std::vector<std::string> calls;
        try {
            calls = update.update(queue, now, kLocal);
        } catch (...) {
            fail("an exception left the update");
        }
        checkCalls(calls, page);
        checkPage(update, page);
    }
    return 0;
}
