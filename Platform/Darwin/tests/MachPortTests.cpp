#include "WaitFor.h"

#include <Darwin/Clock.h>
#include <Darwin/PortObserver.h>
#include <DarwinTesting/ManualClock.h>
#include <mach/mach.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

namespace {

// A message with a payload of 32-bit words after the header.
struct Message
{
    mach_msg_header_t fHeader;
    uint32_t fWords[4];
};

class MachPort : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &fPort), KERN_SUCCESS);
        ASSERT_EQ(mach_port_insert_right(mach_task_self(), fPort, fPort, MACH_MSG_TYPE_MAKE_SEND),
                  KERN_SUCCESS);
    }
    void TearDown() override { mach_port_destroy(mach_task_self(), fPort); }

    mach_msg_return_t send(uint32_t word, mach_msg_option_t options = MACH_SEND_TIMEOUT,
                           mach_msg_size_t size = sizeof(Message))
    {
        Message message{};
        message.fHeader.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0);
        message.fHeader.msgh_size = size;
        message.fHeader.msgh_remote_port = fPort;
        message.fHeader.msgh_id = 7;
        message.fWords[0] = word;
        message.fWords[3] = ~word;
        return mach_msg(&message.fHeader, MACH_SEND_MSG | options, size, 0, MACH_PORT_NULL, 0,
                        MACH_PORT_NULL);
    }

    mach_msg_return_t receive(Message& message, mach_msg_size_t size = sizeof(Message),
                              mach_msg_option_t options = MACH_RCV_TIMEOUT)
    {
        return mach_msg(&message.fHeader, MACH_RCV_MSG | options, 0, size, fPort, 0, MACH_PORT_NULL);
    }

    mach_port_t fPort = MACH_PORT_NULL;
};

TEST_F(MachPort, ReceiverSeesTheBytesSentWithItsSizeAndPort)
{
    ASSERT_EQ(send(1), MACH_MSG_SUCCESS);
    ASSERT_EQ(send(2), MACH_MSG_SUCCESS);
    for (uint32_t word : {1u, 2u}) {
        Message received{};
        ASSERT_EQ(receive(received), MACH_MSG_SUCCESS);
        EXPECT_EQ(received.fHeader.msgh_size, sizeof(Message));
        EXPECT_EQ(received.fHeader.msgh_local_port, fPort);
        EXPECT_EQ(received.fHeader.msgh_remote_port, MACH_PORT_NULL);
        EXPECT_EQ(received.fHeader.msgh_id, 7);
        EXPECT_EQ(received.fWords[0], word);
        EXPECT_EQ(received.fWords[3], ~word);
    }
}

TEST_F(MachPort, FiveNonBlockingSendsFillTheQueueAndTheSixthTimesOut)
{
    for (uint32_t word = 0; word < MACH_PORT_QLIMIT_DEFAULT; ++word) {
        ASSERT_EQ(send(word), MACH_MSG_SUCCESS);
    }
    EXPECT_EQ(send(5), 0x10000004);
    EXPECT_EQ(send(5), MACH_SEND_TIMED_OUT);
    Message received{};
    ASSERT_EQ(receive(received), MACH_MSG_SUCCESS);
    EXPECT_EQ(received.fWords[0], 0u);
    EXPECT_EQ(send(5), MACH_MSG_SUCCESS);
}

TEST_F(MachPort, BlockedSenderGoesOnOnceTheReceiverMakesRoom)
{
    for (uint32_t word = 0; word < MACH_PORT_QLIMIT_DEFAULT; ++word) {
        ASSERT_EQ(send(word), MACH_MSG_SUCCESS);
    }
    std::atomic<bool> sent{false};
    std::jthread sender([&] {
        EXPECT_EQ(send(5, MACH_MSG_OPTION_NONE), MACH_MSG_SUCCESS);
        sent = true;
    });
    Message received{};
    for (uint32_t word = 0; word <= MACH_PORT_QLIMIT_DEFAULT; ++word) {
        ASSERT_EQ(receive(received, sizeof received, MACH_MSG_OPTION_NONE), MACH_MSG_SUCCESS);
        EXPECT_EQ(received.fWords[0], word);
    }
    sender.join();
    EXPECT_TRUE(sent);
}

TEST_F(MachPort, SmallBufferLeavesTheMessageQueued)
{
    ASSERT_EQ(send(9), MACH_MSG_SUCCESS);
    Message received{};
    EXPECT_EQ(receive(received, sizeof(mach_msg_header_t)), 0x10004004);
    EXPECT_EQ(received.fHeader.msgh_size, 0u);
    EXPECT_EQ(receive(received, sizeof(mach_msg_header_t), MACH_RCV_TIMEOUT | MACH_RCV_LARGE),
              MACH_RCV_TOO_LARGE);
    EXPECT_EQ(received.fHeader.msgh_size, sizeof(Message));
    ASSERT_EQ(receive(received), MACH_MSG_SUCCESS);
    EXPECT_EQ(received.fWords[0], 9u);
    EXPECT_EQ(receive(received), MACH_RCV_TIMED_OUT);
}

TEST_F(MachPort, SendsOfMalformedSizesAreRefused)
{
    for (mach_msg_size_t size : {0u, 20u, 26u, 30u}) {
        EXPECT_EQ(send(1, MACH_SEND_TIMEOUT, size), MACH_SEND_MSG_TOO_SMALL) << size;
    }
    Message received{};
    EXPECT_EQ(receive(received), MACH_RCV_TIMED_OUT);
}

TEST_F(MachPort, DestroyedPortRefusesSendsAndReleasesItsWaiters)
{
    // The manual clock shows when the receiver has blocked: its time-out is then registered.
    DarwinTesting::ManualClock clock;
    std::jthread receiver([this] {
        Message received{};
        EXPECT_EQ(mach_msg(&received.fHeader, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof received, fPort,
                           10000, MACH_PORT_NULL),
                  MACH_RCV_PORT_DIED);
    });
    waitFor([&] { return clock.nextDeadline() != DarwinClock::kNever; });
    ASSERT_EQ(mach_port_mod_refs(mach_task_self(), fPort, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
    receiver.join();
    EXPECT_EQ(send(1), 0x10000003);
    // The send right remains as a dead name until it is released.
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), fPort), KERN_SUCCESS);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), fPort), KERN_INVALID_NAME);
}

TEST_F(MachPort, UnknownNamesAreRefused)
{
    mach_port_t unknown = fPort + 100000;
    Message message{};
    message.fHeader.msgh_remote_port = unknown;
    EXPECT_EQ(mach_msg(&message.fHeader, MACH_SEND_MSG, sizeof message, 0, MACH_PORT_NULL, 0, MACH_PORT_NULL),
              MACH_SEND_INVALID_DEST);
    EXPECT_EQ(mach_msg(&message.fHeader, MACH_RCV_MSG, 0, sizeof message, unknown, 0, MACH_PORT_NULL),
              MACH_RCV_INVALID_NAME);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), unknown), KERN_INVALID_NAME);
    EXPECT_EQ(mach_port_mod_refs(mach_task_self(), unknown, MACH_PORT_RIGHT_RECEIVE, -1), KERN_INVALID_NAME);
}

TEST(MachPortNames, AreNeverReused)
{
    std::vector<mach_port_t> names;
    for (int i = 0; i < 3; ++i) {
        mach_port_t name;
        ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &name), KERN_SUCCESS);
        for (mach_port_t earlier : names) {
            EXPECT_NE(name, earlier);
        }
        names.push_back(name);
        ASSERT_EQ(mach_port_destroy(mach_task_self(), name), KERN_SUCCESS);
    }
}

TEST_F(MachPort, ArrivalObserverIsCalledAfterEachMessage)
{
    std::atomic<int> arrivals{0};
    ASSERT_EQ(DarwinPorts::setArrivalObserver(fPort,
                                              [&] {
                                                  Message received{};
                                                  EXPECT_EQ(receive(received), MACH_MSG_SUCCESS);
                                                  ++arrivals;
                                              }),
              KERN_SUCCESS);
    ASSERT_EQ(send(1), MACH_MSG_SUCCESS);
    ASSERT_EQ(send(2), MACH_MSG_SUCCESS);
    EXPECT_EQ(arrivals.load(), 2);
    ASSERT_EQ(DarwinPorts::setArrivalObserver(fPort, nullptr), KERN_SUCCESS);
    ASSERT_EQ(send(3), MACH_MSG_SUCCESS);
    EXPECT_EQ(arrivals.load(), 2);
}

// Four senders post numbered messages while one receiver drains them: every message arrives once,
// each sender's in order.
TEST_F(MachPort, StressSendersKeepTheirOrder)
{
    constexpr uint32_t kSenders = 4;
    constexpr uint32_t kPerSender = 2000;
    std::vector<std::jthread> senders;
    for (uint32_t sender = 0; sender < kSenders; ++sender) {
        senders.emplace_back([this, sender] {
            for (uint32_t n = 0; n < kPerSender; ++n) {
                ASSERT_EQ(send(sender << 16 | n, MACH_MSG_OPTION_NONE), MACH_MSG_SUCCESS);
            }
        });
    }
    std::map<uint32_t, uint32_t> next;
    for (uint32_t count = 0; count < kSenders * kPerSender; ++count) {
        Message received{};
        ASSERT_EQ(receive(received, sizeof received, MACH_MSG_OPTION_NONE), MACH_MSG_SUCCESS);
        uint32_t sender = received.fWords[0] >> 16;
        EXPECT_EQ(received.fWords[0] & 0xFFFF, next[sender]++);
        EXPECT_EQ(received.fWords[3], ~received.fWords[0]);
    }
    for (uint32_t sender = 0; sender < kSenders; ++sender) {
        EXPECT_EQ(next[sender], kPerSender);
    }
}

} // namespace
