#include "ReenumeratorContract.h"
#include "ReenumeratorTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace ReenumeratorTesting;
using ReenumeratorContractSupport::Client;
using ReenumeratorContractSupport::kKey;

namespace {

constexpr int kClients = 16;
constexpr int kMessagesPerClient = 50;

TEST(ReenumeratorStress, ClientsAtOnceEachGetOneEndPerMessageAndResetsHitOnlyTheBoundDevices)
{
    PlugInTesting::LogLines log;
    TestBus bus;
    bus.script().setReEnumerationDelay(0);
    bus.attach(1, kVendor, kWrenlet);
    bus.attach(2, kVendor, kPyx);
    bus.bindClassDriver(1);
    bus.bindClassDriver(2);
    Rebinder rebinder(bus);
    std::atomic<int> readsZero{0};
    std::atomic<int> wrongEvents{0};
    {
        ListeningDaemon daemon;
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                Client client;
                for (int m = 0; m < kMessagesPerClient; ++m) {
                    const int kind = (c + m) % 3;
                    client.send([kind](xpc_object_t message) {
                        if (kind < 2) {
                            xpc_dictionary_set_uint64(message, kKey, uint64_t(kind));
                        }
                    });
                    readsZero += kind != 1;
                    const std::vector<xpc_object_t> events = client.events(size_t(m) + 1);
                    if (events.size() != size_t(m) + 1 || events.back() != XPC_ERROR_CONNECTION_INTERRUPTED) {
                        ++wrongEvents;
                    }
                }
            });
        }
        for (std::thread& client : clients) {
            client.join();
        }
    }
    EXPECT_EQ(wrongEvents, 0);
    EXPECT_EQ(log.count("void ResetUAC()"), readsZero.load());
    EXPECT_EQ(
        log.count(
            "void Server::HandlePeerEvent(xpc_connection_t, xpc_object_t) - xpc_error (Connection invalid)"),
        kClients * kMessagesPerClient)
        << "every peer was cancelled";
    const std::vector<IOKitTesting::ReEnumeration> done = bus.script().reEnumerations();
    EXPECT_FALSE(done.empty());
    // Two requests may meet at one device: the later open finds it held and re-enumerates it anyway.
    for (const IOKitTesting::ReEnumeration& record : done) {
        const bool device = (record.fPort == 1 && record.fProduct == kWrenlet) ||
                            (record.fPort == 2 && record.fProduct == kPyx);
        EXPECT_TRUE(device && record.fVendor == kVendor) << int(record.fPort) << " " << record.fProduct;
        EXPECT_TRUE(record.fOptions == 0 || record.fOptions == 0x20000000) << record.fOptions;
    }
}

} // namespace
