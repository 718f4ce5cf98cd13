// Eight clients send while the server cancels their peers.

#include "XPCTestSupport.h"

#include <DarwinTesting/Eventually.h>

#include <gtest/gtest.h>

using namespace XPCTestSupport;

namespace {

const char* const kService = "com.vork.tests.xpc.stress";
constexpr int kClients = 8;
constexpr uint64_t kMessagesPerClient = 200;

TEST(XPCStress, ClientsSendWhileTheServerCancelsPeers)
{
    Server server(kService, Server::Answer::CancelPeer);
    std::vector<std::unique_ptr<Client>> clients;
    for (int index = 0; index < kClients; ++index) {
        clients.push_back(std::make_unique<Client>(kService));
    }

    std::vector<std::thread> senders;
    for (int index = 0; index < kClients; ++index) {
        senders.emplace_back([&, index] {
            for (uint64_t sequence = 0; sequence < kMessagesPerClient; ++sequence) {
                sendNumbered(clients[size_t(index)]->fConnection, uint64_t(index) * 1000 + sequence);
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    std::vector<std::shared_ptr<EventLog>> logs;
    for (auto& client : clients) {
        logs.push_back(client->fLog);
    }
    clients.clear();

    // Each client heard interruptions only, then its one last event.
    for (const auto& log : logs) {
        auto entries = log->entries();
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries.back(), kInvalid);
        EXPECT_EQ(std::count(entries.begin(), entries.end(), kInvalid), 1);
        EXPECT_EQ(std::count(entries.begin(), entries.end(), kInterrupted),
                  std::ptrdiff_t(entries.size() - 1));
        EXPECT_FALSE(log->overlapped());
    }
    // Every client's connection reaches the server as a peer, the last ones maybe after their
    // clients are gone.
    EXPECT_TRUE(DarwinTesting::eventually([&] { return server.peerCount() >= size_t(kClients); }));
    // Each peer got at most its one message before it was cancelled, and then its last event:
    // cancelling drops what was still queued, even when the client had cancelled first.
    for (size_t peer = 0; peer < server.peerCount(); ++peer) {
        server.peerLog(peer).waitFor(kInvalid);
        auto entries = server.peerLog(peer).entries();
        EXPECT_EQ(entries.back(), kInvalid);
        EXPECT_LE(entries.size(), 2u);
    }
}

} // namespace
