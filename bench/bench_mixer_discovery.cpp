// The mixer's discovery update per announcement, beside the physical limit: a bare loopback socket
// receiving the same datagrams with recvfrom. Announcements arrive every second or two, so nothing
// here is a hot path and no pair has a goal; the main thread should still not spend much more per
// announcement than the reader spent receiving it.
//
// Pairs (time per announcement):
//   mixer_update/ours/known, /peer/known     one update over 100 queued announcements of known endpoints
//   mixer_update/ours/churn, /peer/churn     the same with 10% new and 10% renamed endpoints
//   mixer_update_each/ours, /peer            one update per datagram, getMyIpAddresses included; its
//                                            share is the counter getifaddrs_share
// Reference pairs, for information: the same parse and seven-key extraction in nlohmann-json's
// document against RapidJSON (mixer_parse_rapidjson) and simdjson (mixer_parse_simdjson), and the
// update's own reader against RapidJSON (mixer_parse_reader).

#include <Announcement.h>
#include <DiscoveryUpdate.h>
#include <LocalAddresses.h>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <simdjson.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kBatch = 100;
const std::vector<std::string> kLocal = {"127.0.0.1", "192.168.1.20"};

std::string announcement(int endpoint, const std::string& deviceName)
{
    return nlohmann::json{{"model", "TideProxy-Brio"},
                          {"ip", "192.168.1." + std::to_string(30 + endpoint) + ":8080"},
                          {"serial", "BR" + std::to_string(100000 + endpoint)},
                          {"name", "studio-host-" + std::to_string(endpoint)},
                          {"deviceName", deviceName},
                          {"networkControl", "enabled"},
                          {"status", "connected"},
                          {"firmware", "1.4.2"},
                          {"uptime", 123456 + endpoint},
                          {"channels", {8, 8}}}
        .dump();
}

// 1,000 announcements of about 220 bytes from 100 endpoints.
std::vector<std::string> fixture(int renamedPercent, int newPercent, int round)
{
    std::vector<std::string> datagrams;
    for (int i = 0; i < 1000; ++i) {
        const int endpoint = i % 100;
        std::string name = "Desk " + std::to_string(endpoint);
        if (endpoint < renamedPercent) {
            name += " take " + std::to_string(round);
        }
        datagrams.push_back(
            announcement(endpoint < 100 - newPercent ? endpoint : 1000 + round * 100 + endpoint, name));
    }
    return datagrams;
}

// A loopback pair: the sender and the receiver a bare recvfrom reads.
class Loopback
{
public:
    Loopback()
    {
        fReceiver = socket(AF_INET, SOCK_DGRAM, 0);
        fSender = socket(AF_INET, SOCK_DGRAM, 0);
        const int size = 8 << 20;
        setsockopt(fReceiver, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        fAddress.sin_family = AF_INET;
        fAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof fAddress;
        bind(fReceiver, reinterpret_cast<sockaddr*>(&fAddress), sizeof fAddress);
        getsockname(fReceiver, reinterpret_cast<sockaddr*>(&fAddress), &length);
    }
    ~Loopback()
    {
        close(fReceiver);
        close(fSender);
    }
    void send(const std::string& datagram)
    {
        sendto(fSender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&fAddress),
               sizeof fAddress);
    }
    void receive()
    {
        char buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        benchmark::DoNotOptimize(
            recvfrom(fReceiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length));
    }

private:
    int fReceiver = -1;
    int fSender = -1;
    sockaddr_in fAddress{};
};

void updateOurs(benchmark::State& state, int churnPercent)
{
    DiscoveryUpdate update;
    MessageQueue queue;
    double now = 800000000;
    for (const std::string& datagram : fixture(0, 0, 0)) {
        queue.PushMessage(datagram);
    }
    update.update(queue, now, kLocal);
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<std::string> datagrams = fixture(churnPercent, churnPercent, ++round);
        for (int i = 0; i < kBatch; ++i) {
            queue.PushMessage(datagrams[i]);
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(update.update(queue, now += 1, kLocal));
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void updatePeer(benchmark::State& state, int churnPercent)
{
    Loopback loopback;
    const std::vector<std::string> datagrams = fixture(churnPercent, churnPercent, 1);
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < kBatch; ++i) {
            loopback.send(datagrams[i]);
        }
        state.ResumeTiming();
        for (int i = 0; i < kBatch; ++i) {
            loopback.receive();
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void updateEachOurs(benchmark::State& state)
{
    DiscoveryUpdate update;
    MessageQueue queue;
    const std::vector<std::string> datagrams = fixture(0, 0, 0);
    double now = 800000000;
    size_t next = 0;
    std::chrono::nanoseconds addresses{0};
    for (auto _ : state) {
        queue.PushMessage(datagrams[next++ % datagrams.size()]);
        const auto start = std::chrono::steady_clock::now();
        const std::vector<std::string> local = getMyIpAddresses();
        addresses += std::chrono::steady_clock::now() - start;
        benchmark::DoNotOptimize(update.update(queue, now += 0.01, local));
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["getifaddrs_share"] = benchmark::Counter(
        double(addresses.count()) / double(state.iterations()), benchmark::Counter::kDefaults);
}

void updateEachPeer(benchmark::State& state)
{
    Loopback loopback;
    const std::string datagram = fixture(0, 0, 0).front();
    for (auto _ : state) {
        state.PauseTiming();
        loopback.send(datagram);
        state.ResumeTiming();
        loopback.receive();
    }
    state.SetItemsProcessed(state.iterations());
}

// The seven keys, as the update reads them.
struct Keys
{
    std::string_view model, ip, serial, name, status, networkControl, deviceName;
};

void parseDocument(benchmark::State& state)
{
    const std::vector<std::string> datagrams = fixture(0, 0, 0);
    size_t next = 0;
    for (auto _ : state) {
        const nlohmann::json document =
            nlohmann::json::parse(datagrams[next++ % datagrams.size()], nullptr, false);
        Keys keys;
        const auto text = [&](const char* key) {
            auto found = document.find(key);
            return found != document.end() && found->is_string()
                       ? std::string_view(found->get_ref<const std::string&>())
                       : std::string_view();
        };
        keys = {text("model"),          text("ip"),        text("serial"), text("name"), text("status"),
                text("networkControl"), text("deviceName")};
        benchmark::DoNotOptimize(keys);
    }
}

void parseReader(benchmark::State& state)
{
    const std::vector<std::string> datagrams = fixture(0, 0, 0);
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseAnnouncement(datagrams[next++ % datagrams.size()]));
    }
}

void parseRapidJSON(benchmark::State& state)
{
    const std::vector<std::string> datagrams = fixture(0, 0, 0);
    size_t next = 0;
    for (auto _ : state) {
        rapidjson::Document document;
        const std::string& datagram = datagrams[next++ % datagrams.size()];
        document.Parse(datagram.data(), datagram.size());
        const auto text = [&](const char* key) {
            auto found = document.FindMember(key);
            return found != document.MemberEnd() && found->value.IsString()
                       ? std::string_view(found->value.GetString(), found->value.GetStringLength())
                       : std::string_view();
        };
        Keys keys{text("model"),          text("ip"),        text("serial"), text("name"), text("status"),
                  text("networkControl"), text("deviceName")};
        benchmark::DoNotOptimize(keys);
    }
}

void parseSimdjson(benchmark::State& state)
{
    const std::vector<std::string> datagrams = fixture(0, 0, 0);
    std::vector<simdjson::padded_string> padded;
    for (const std::string& datagram : datagrams) {
        padded.emplace_back(datagram);
    }
    simdjson::ondemand::parser parser;
    size_t next = 0;
    for (auto _ : state) {
        auto document = parser.iterate(padded[next++ % padded.size()]);
        simdjson::ondemand::object object = document.get_object();
        Keys keys;
        for (auto field : object) {
            const std::string_view key = field.unescaped_key();
            std::string_view value;
            if (field.value().get_string().get(value) != simdjson::SUCCESS) {
                continue;
            }
            if (key == "model")
                keys.model = value;
            else if (key == "ip")
                keys.ip = value;
            else if (key == "serial")
                keys.serial = value;
            else if (key == "name")
                keys.name = value;
            else if (key == "status")
                keys.status = value;
            else if (key == "networkControl")
                keys.networkControl = value;
            else if (key == "deviceName")
                keys.deviceName = value;
        }
        benchmark::DoNotOptimize(keys);
    }
}

} // namespace

BENCHMARK_CAPTURE(updateOurs, known, 0)->Name("mixer_update/ours/known");
BENCHMARK_CAPTURE(updatePeer, known, 0)->Name("mixer_update/peer/known");
BENCHMARK_CAPTURE(updateOurs, churn, 10)->Name("mixer_update/ours/churn");
BENCHMARK_CAPTURE(updatePeer, churn, 10)->Name("mixer_update/peer/churn");
BENCHMARK(updateEachOurs)->Name("mixer_update_each/ours");
BENCHMARK(updateEachPeer)->Name("mixer_update_each/peer");
BENCHMARK(parseDocument)->Name("mixer_parse_rapidjson/ours");
BENCHMARK(parseRapidJSON)->Name("mixer_parse_rapidjson/peer");
BENCHMARK(parseDocument)->Name("mixer_parse_simdjson/ours");
BENCHMARK(parseSimdjson)->Name("mixer_parse_simdjson/peer");
BENCHMARK(parseReader)->Name("mixer_parse_reader/ours");
BENCHMARK(parseRapidJSON)->Name("mixer_parse_reader/peer");

BENCHMARK_MAIN();
