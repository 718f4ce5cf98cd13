// Mach-service connections: listeners, clients, peers and the events each receives.

#include "XPCTestSupport.h"

#include <gtest/gtest.h>

using namespace XPCTestSupport;
using Entries = std::vector<std::string>;

namespace {

const char* const kService = "com.vork.tests.xpc.service";

// Runs nothing on `queue` until released, so events wait behind it.
class QueueBlocker
{
public:
    explicit QueueBlocker(dispatch_queue_t queue)
    {
        dispatch_async(queue, [this] {
            std::unique_lock lock(fLock);
            fReleased.wait(lock, [this] { return fRelease; });
        });
    }

    void release()
    {
        std::lock_guard lock(fLock);
        fRelease = true;
        fReleased.notify_all();
    }

private:
    std::mutex fLock;
    std::condition_variable fReleased;
    bool fRelease = false;
};

// Waits until every block queued on `queue` before now has run.
void settle(dispatch_queue_t queue)
{
    dispatch_sync(queue, [] {});
}

TEST(XPCConnection, EachClientGetsOnePeerAtItsFirstMessageAndThePeerItsMessagesInOrder)
{
    Server server(kService);
    Client first(kService);
    Client second(kService);
    EXPECT_EQ(server.peerCount(), 0u);

    for (uint64_t sequence = 1; sequence <= 3; ++sequence) {
        sendNumbered(first.fConnection, sequence);
        sendNumbered(second.fConnection, 10 + sequence);
    }
    server.waitForPeers(2);
    for (size_t peer = 0; peer < 2; ++peer) {
        server.peerLog(peer).waitForCount(3);
    }

    EXPECT_EQ(server.peerCount(), 2u);
    EXPECT_EQ(server.fListenerLog.entries(), (Entries{"peer", "peer"}));
    std::vector<Entries> received = {server.peerLog(0).entries(), server.peerLog(1).entries()};
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received[0], (Entries{"message 1", "message 2", "message 3"}));
    EXPECT_EQ(received[1], (Entries{"message 11", "message 12", "message 13"}));
}

TEST(XPCConnection, EventsComeOneAtATimeInOrderOnTheTargetQueue)
{
    Server server(kService, Server::Answer::Echo);
    dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.xpc.target", DISPATCH_QUEUE_SERIAL);
    Client client(kService, queue);
    const size_t count = 200;
    Entries expected;

    for (uint64_t sequence = 0; sequence < count; ++sequence) {
        sendNumbered(client.fConnection, sequence);
        expected.push_back("message " + std::to_string(sequence));
    }
    client.fLog->waitForCount(count);

    EXPECT_EQ(client.fLog->entries(), expected);
    EXPECT_EQ(client.fLog->queueLabels(), Entries(count, "com.vork.tests.xpc.target"));
    EXPECT_FALSE(client.fLog->overlapped());
    EXPECT_FALSE(server.peerLog(0).overlapped());
    dispatch_release(queue);
}

TEST(XPCConnection, MessagesWaitUntilTheListenerResumesThePeer)
{
    Server server(kService, Server::Answer::None, false);
    Client client(kService);
    sendNumbered(client.fConnection, 1);
    sendNumbered(client.fConnection, 2);
    server.waitForPeers(1);
    EXPECT_TRUE(server.peerLog(0).entries().empty());

    xpc_connection_resume(server.peer(0));
    server.peerLog(0).waitForCount(2);

    EXPECT_EQ(server.peerLog(0).entries(), (Entries{"message 1", "message 2"}));
}

TEST(XPCConnection, AMessageTravelsAsACopy)
{
    Server server(kService);
    Client client(kService);
    xpc_object_t message = numberedMessage(1);

    xpc_connection_send_message(client.fConnection, message);
    xpc_dictionary_set_uint64(message, "seq", 2);
    server.waitForPeers(1);
    server.peerLog(0).waitForCount(1);

    EXPECT_EQ(server.peerLog(0).entries(), Entries{"message 1"});
    xpc_release(message);
}

TEST(XPCConnection, AServerThatCancelsThePeerInterruptsTheClientWhoseNextMessageGetsANewPeer)
{
    Server server(kService, Server::Answer::CancelPeer);
    Client client(kService);

    sendNumbered(client.fConnection, 1);
    client.fLog->waitFor(kInterrupted);
    sendNumbered(client.fConnection, 2);
    server.waitForPeers(2);
    for (size_t peer = 0; peer < 2; ++peer) {
        server.peerLog(peer).waitFor(kInvalid);
    }
    client.fLog->waitForCount(2);

    EXPECT_EQ(client.fLog->entries(), (Entries{kInterrupted, kInterrupted}));
    EXPECT_EQ(server.peerLog(0).entries(), (Entries{"message 1", kInvalid}));
    EXPECT_EQ(server.peerLog(1).entries(), (Entries{"message 2", kInvalid}));
}

TEST(XPCConnection, OwnCancelDropsWhatWaitsAndEndsWithInvalidAndNothingAfter)
{
    Server server(kService, Server::Answer::Echo);
    dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.xpc.blocked", DISPATCH_QUEUE_SERIAL);
    xpc_connection_t connection = xpc_connection_create_mach_service(kService, queue, 0);
    auto log = std::make_shared<EventLog>();
    xpc_connection_set_event_handler(connection, [log](xpc_object_t event) { log->record(event); });
    xpc_connection_resume(connection);
    QueueBlocker blocker(queue);
    for (uint64_t sequence = 1; sequence <= 3; ++sequence) {
        sendNumbered(connection, sequence);
    }
    server.waitForPeers(1);
    server.peerLog(0).waitForCount(3);

    xpc_connection_cancel(connection);
    xpc_connection_cancel(connection);
    sendNumbered(connection, 4);
    blocker.release();
    log->waitFor(kInvalid);
    settle(queue);

    EXPECT_EQ(log->entries(), Entries{kInvalid});
    server.peerLog(0).waitFor(kInvalid);
    EXPECT_EQ(server.peerLog(0).entries(), (Entries{"message 1", "message 2", "message 3", kInvalid}));
    xpc_release(connection);
    dispatch_release(queue);
}

TEST(XPCConnection, AClientOfANameNobodyListensOnIsInvalidAndHearsNothingMore)
{
    dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.xpc.nobody", DISPATCH_QUEUE_SERIAL);
    Client client("com.vork.tests.xpc.nobody", queue);

    sendNumbered(client.fConnection, 1);
    client.fLog->waitFor(kInvalid);
    sendNumbered(client.fConnection, 2);
    xpc_connection_cancel(client.fConnection);
    settle(queue);

    EXPECT_EQ(client.fLog->entries(), Entries{kInvalid});
    dispatch_release(queue);
}

TEST(XPCConnection, CancellingAListenerFreesItsNameAndASecondListenerOfANameIsInvalid)
{
    auto first = std::make_unique<Server>(kService);
    {
        Server duplicate(kService);
        duplicate.fListenerLog.waitFor(kInvalid);
        EXPECT_EQ(duplicate.fListenerLog.entries(), Entries{kInvalid});
    }
    first.reset();

    Server second(kService);
    Client client(kService);
    sendNumbered(client.fConnection, 1);
    second.waitForPeers(1);
    second.peerLog(0).waitForCount(1);

    EXPECT_EQ(second.peerLog(0).entries(), Entries{"message 1"});
}

TEST(XPCConnectionDeathTest, SendingAnythingButADictionaryEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    xpc_connection_t connection = xpc_connection_create_mach_service(kService, nullptr, 0);
    xpc_object_t value = xpc_uint64_create(0);
    EXPECT_DEATH(xpc_connection_send_message(connection, value),
                 "only a dictionary can be sent as a message");
    xpc_release(value);
}

} // namespace
