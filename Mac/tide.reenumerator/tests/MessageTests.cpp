#include "CapturedPeer.h"
#include "ReenumeratorContract.h"
#include "ReenumeratorTestSupport.h"
#include "Server.h"

#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/LogCapture.h>
#include <DispatchTesting/DispatchMain.h>
#include <Log.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

using namespace ReenumeratorTesting;
using ReenumeratorContractSupport::Client;
using ReenumeratorContractSupport::kKey;

namespace {

constexpr uint8_t kPort = 1;
constexpr const char* kResetLine = "void ResetUAC()";

struct MessageCase
{
    const char* fName;
    std::function<void(xpc_object_t)> fFill;
    bool fResets;
};

const MessageCase kMessages[] = {
    {"ResetRequest", [](xpc_object_t m) { xpc_dictionary_set_uint64(m, kKey, 0); }, true},
    {"EmptyDictionary", [](xpc_object_t) {}, true},
    {"StringUnderTheKey", [](xpc_object_t m) { xpc_dictionary_set_string(m, kKey, "x"); }, true},
    {"SignedZeroUnderTheKey",
     [](xpc_object_t m) {
         xpc_object_t zero = xpc_int64_create(0);
         xpc_dictionary_set_value(m, kKey, zero);
         xpc_release(zero);
     },
     true},
    {"OtherType", [](xpc_object_t m) { xpc_dictionary_set_uint64(m, kKey, 1); }, false},
};

class Messages : public DaemonTest, public testing::WithParamInterface<MessageCase>
{
protected:
    void SetUp() override
    {
        fBus.attach(kPort, kVendor, kWrenlet);
        fBus.bindClassDriver(kPort);
        Listen();
    }
};

TEST_P(Messages, EndThePeerWithoutAReplyAndResetOnlyForZero)
{
    const MessageCase& message = GetParam();
    {
        Client client;
        client.send(message.fFill);
        const std::vector<xpc_object_t> events = client.events(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0], XPC_ERROR_CONNECTION_INTERRUPTED)
            << "the daemon cancels the peer and never replies";
    }
    const size_t resets = message.fResets ? 1 : 0;
    EXPECT_EQ(fBus.script().reEnumerations().size(), resets);
    EXPECT_EQ(LineCount(kResetLine), int(resets));
    WaitForEndedConnections(fLog, 1);
    EXPECT_EQ(
        LineCount(
            "void Server::HandlePeerEvent(xpc_connection_t, xpc_object_t) - xpc_error (Connection invalid)"),
        1);
}

INSTANTIATE_TEST_SUITE_P(Table, Messages, testing::ValuesIn(kMessages),
                         [](const testing::TestParamInfo<MessageCase>& info) { return info.param.fName; });

class HandedObjects : public DaemonTest
{
protected:
    void SetUp() override
    {
        fBus.attach(kPort, kVendor, kWrenlet);
        fBus.bindClassDriver(kPort);
    }
};

TEST_F(HandedObjects, ANonDictionaryOnAPeerOnlyCancelsIt)
{
    CapturedPeer peer;
    xpc_object_t text = xpc_string_create("0");
    Server::HandlePeerEvent(peer.peer(), text);
    xpc_release(text);
    EXPECT_EQ(peer.firstClientEvent(), XPC_ERROR_CONNECTION_INTERRUPTED);
    EXPECT_TRUE(fBus.script().reEnumerations().empty());
    EXPECT_EQ(LineCount(kResetLine), 0);
}

TEST_F(HandedObjects, AnErrorOnAPeerIsLoggedAndTheDaemonGoesOnServingIt)
{
    CapturedPeer peer;
    Server::HandlePeerEvent(peer.peer(), XPC_ERROR_CONNECTION_INVALID);
    EXPECT_EQ(
        LineCount(
            "void Server::HandlePeerEvent(xpc_connection_t, xpc_object_t) - xpc_error (Connection invalid)"),
        1);
    // Not cancelled: the client's next message still reaches the peer.
    EXPECT_TRUE(peer.sendToPeer());
    EXPECT_EQ(peer.clientEventCount(), 0u);
    EXPECT_TRUE(fBus.script().reEnumerations().empty());
    EXPECT_EQ(LineCount(kResetLine), 0);
}

TEST_F(HandedObjects, ListenerEventsOtherThanConnectionsAreLoggedByTypeOrDescription)
{
    xpc_object_t dictionary = xpc_dictionary_create(nullptr, nullptr, 0);
    Server::HandleListenerEvent(dictionary);
    xpc_release(dictionary);
    Server::HandleListenerEvent(XPC_ERROR_CONNECTION_INTERRUPTED);
    EXPECT_EQ(LineCount("error, object is not a connection, it's a dictionary"), 1);
    EXPECT_EQ(
        LineCount("void Server::HandleListenerEvent(xpc_object_t) - xpc_error (Connection interrupted)"), 1);
    EXPECT_TRUE(fBus.script().reEnumerations().empty());
}

// Runs Server::Main with the daemon's syslog identity while one client sends a request, ends it,
// and prints the captured lines.
[[noreturn]] void RunMainServingOneRequest()
{
    DarwinTesting::LogCapture capture;
    Log::UseSyslog(Server::kMachServiceName);
    // Until the listener is there, a client's message finds no one and ends its connection.
    std::thread client([] {
        const bool served = DarwinTesting::eventually([] {
            Client client;
            client.send([](xpc_object_t) {});
            const std::vector<xpc_object_t> events = client.events(1);
            return !events.empty() && events[0] == XPC_ERROR_CONNECTION_INTERRUPTED;
        });
        if (!served) {
            std::fprintf(stderr, "the listener never served the request\n");
        }
        DispatchTesting::endDispatchMain();
    });
    Server::Main();
    client.join();
    for (const std::string& line : capture.texts(DarwinTesting::LogSource::Syslog)) {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
    std::_Exit(0);
}

// In a child process: Main keeps its listener, and with it the service name, for good.
TEST(ServerMain, LogsTheServiceNameThenDispatchMainAndServesPeers)
{
    EXPECT_EXIT(RunMainServingOneRequest(), testing::ExitedWithCode(0),
                "Server::Listen\\(\\) - calling xpc_connection_create_mach_service with mach service name "
                "com\\.vork\\.tide\\.reenumerator(.|\n)*void Server::Main\\(\\) - calling dispatch_main\\(\\)"
                "(.|\n)*void ResetUAC\\(\\)");
}

} // namespace
