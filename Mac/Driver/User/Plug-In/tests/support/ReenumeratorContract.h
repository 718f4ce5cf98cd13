#pragma once

// What the plug-in relies on from the re-enumeration daemon, as a typed test suite over a factory
// of the thing under test. A factory F has:
//   F()                 the daemon, listening on "com.vork.tide.reenumerator"
//   int resets() const  how many re-enumerations it has made
// Instantiate with INSTANTIATE_TYPED_TEST_SUITE_P(Name, ReenumeratorContract, Types<F>).

#include <dispatch/dispatch.h>
#include <gtest/gtest.h>
#include <xpc/xpc.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace ReenumeratorContractSupport {

inline constexpr const char* kService = "com.vork.tide.reenumerator";
inline constexpr const char* kKey = "kProxyMessageTypeKey";

// A client connection to the daemon whose events are collected.
class Client
{
public:
    Client()
        : fQueue(dispatch_queue_create("ReenumeratorContract client", DISPATCH_QUEUE_SERIAL)),
          fConnection(xpc_connection_create_mach_service(kService, fQueue, 0))
    {
        xpc_connection_set_event_handler(fConnection, [this](xpc_object_t event) {
            std::lock_guard<std::mutex> lock(fMutex);
            fEvents.push_back(event);
            if (event == XPC_ERROR_CONNECTION_INVALID) {
                fInvalid = true;
            }
            fChanged.notify_all();
        });
        xpc_connection_resume(fConnection);
    }

    ~Client()
    {
        xpc_connection_cancel(fConnection);
        std::unique_lock<std::mutex> lock(fMutex);
        fChanged.wait_for(lock, std::chrono::seconds(30), [this] { return fInvalid; });
        lock.unlock();
        xpc_release(fConnection);
        dispatch_release(fQueue);
    }

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void send(const std::function<void(xpc_object_t)>& fill)
    {
        xpc_object_t message = xpc_dictionary_create(nullptr, nullptr, 0);
        fill(message);
        xpc_connection_send_message(fConnection, message);
        xpc_release(message);
    }

    // Waits for `count` events; answers them.
    std::vector<xpc_object_t> events(size_t count)
    {
        std::unique_lock<std::mutex> lock(fMutex);
        fChanged.wait_for(lock, std::chrono::seconds(30), [&] { return fEvents.size() >= count; });
        return fEvents;
    }

private:
    dispatch_queue_t fQueue;
    xpc_connection_t fConnection;
    std::mutex fMutex;
    std::condition_variable fChanged;
    std::vector<xpc_object_t> fEvents;
    bool fInvalid = false;
};

} // namespace ReenumeratorContractSupport

template <typename Factory>
class ReenumeratorContract : public testing::Test
{
protected:
    Factory fFactory;
};

TYPED_TEST_SUITE_P(ReenumeratorContract);

TYPED_TEST_P(ReenumeratorContract, EachMessageEndsThePeerWithoutAReply)
{
    using namespace ReenumeratorContractSupport;
    struct MessageCase
    {
        const char* fName;
        std::function<void(xpc_object_t)> fFill;
        int fResets;
    };
    const MessageCase cases[] = {
        {"reset request", [](xpc_object_t m) { xpc_dictionary_set_uint64(m, kKey, 0); }, 1},
        {"other type", [](xpc_object_t m) { xpc_dictionary_set_uint64(m, kKey, 1); }, 0},
        {"large type", [](xpc_object_t m) { xpc_dictionary_set_uint64(m, kKey, UINT64_MAX); }, 0},
        {"string under the key", [](xpc_object_t m) { xpc_dictionary_set_string(m, kKey, "0"); }, 1},
        {"no key", [](xpc_object_t m) { xpc_dictionary_set_uint64(m, "other", 1); }, 1},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.fName);
        const int before = this->fFactory.resets();
        Client client;
        client.send(c.fFill);
        const std::vector<xpc_object_t> events = client.events(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0], XPC_ERROR_CONNECTION_INTERRUPTED)
            << "the daemon ends the peer and never replies";
        EXPECT_EQ(this->fFactory.resets() - before, c.fResets);
    }
}

TYPED_TEST_P(ReenumeratorContract, EveryMessageOfAConnectionGetsItsOwnPeer)
{
    using namespace ReenumeratorContractSupport;
    const int before = this->fFactory.resets();
    Client client;
    client.send([](xpc_object_t m) { xpc_dictionary_set_uint64(m, kKey, 0); });
    ASSERT_EQ(client.events(1).size(), 1u);
    client.send([](xpc_object_t m) { xpc_dictionary_set_uint64(m, kKey, 0); });
    const std::vector<xpc_object_t> events = client.events(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], XPC_ERROR_CONNECTION_INTERRUPTED);
    EXPECT_EQ(this->fFactory.resets() - before, 2);
}

REGISTER_TYPED_TEST_SUITE_P(ReenumeratorContract, EachMessageEndsThePeerWithoutAReply,
                            EveryMessageOfAConnectionGetsItsOwnPeer);
