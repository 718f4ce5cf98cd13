#include "RunLoopTestThread.h"

#include <CoreFoundation/CFMachPort.h>
#include <CoreFoundation/CFRunLoop.h>
#include <mach/mach.h>

#include <gtest/gtest.h>

#include <cstring>

using RunLoopTesting::LoopThread;
using RunLoopTesting::Signal;

namespace {

// A notification record as the plug-in receives it: header, then a type and a payload.
constexpr mach_msg_size_t kRecordSize = 4132;
constexpr int kRecords = 64;

struct Record
{
    mach_msg_header_t fHeader;
    uint32_t fSequence;
    uint8_t fPayload[kRecordSize - sizeof(mach_msg_header_t) - sizeof(uint32_t)];
};
static_assert(sizeof(Record) == kRecordSize);

uint8_t payloadByte(uint32_t sequence, size_t index)
{
    return uint8_t(sequence * 31 + index * 7);
}

Record makeRecord(mach_port_t port, uint32_t sequence)
{
    Record record{};
    record.fHeader.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0);
    record.fHeader.msgh_size = kRecordSize;
    record.fHeader.msgh_remote_port = port;
    record.fHeader.msgh_id = 0x100;
    record.fSequence = sequence;
    for (size_t index = 0; index < sizeof record.fPayload; ++index) {
        record.fPayload[index] = payloadByte(sequence, index);
    }
    return record;
}

mach_msg_return_t send(mach_port_t port, uint32_t sequence, mach_msg_option_t options = 0)
{
    Record record = makeRecord(port, sequence);
    return mach_msg(&record.fHeader, MACH_SEND_MSG | options, kRecordSize, 0, MACH_PORT_NULL, 0,
                    MACH_PORT_NULL);
}

struct Received
{
    std::atomic<int> fCount{0};
    // Touched on the loop's thread only, read after it stopped.
    std::vector<uint32_t> fSequences;
    std::vector<CFIndex> fSizes;
    std::vector<std::thread::id> fThreads;
    int fCorrupt = 0;
    Signal fChanged;

    static void callout(CFMachPortRef port, void* msg, CFIndex size, void* info)
    {
        auto* self = static_cast<Received*>(info);
        const auto* record = static_cast<const Record*>(msg);
        self->fSequences.push_back(record->fSequence);
        self->fSizes.push_back(size);
        self->fThreads.push_back(std::this_thread::get_id());
        bool intact = record->fHeader.msgh_size == kRecordSize &&
                      record->fHeader.msgh_local_port == CFMachPortGetPort(port);
        for (size_t index = 0; intact && index < sizeof record->fPayload; ++index) {
            intact = record->fPayload[index] == payloadByte(record->fSequence, index);
        }
        self->fCorrupt += !intact;
        self->fCount.fetch_add(1);
        self->fChanged.notify();
    }
};

CFMachPortRef createPort(Received& received)
{
    CFMachPortContext context{};
    context.info = &received;
    Boolean shouldFreeInfo = true;
    CFMachPortRef port = CFMachPortCreate(kCFAllocatorDefault, Received::callout, &context, &shouldFreeInfo);
    EXPECT_FALSE(shouldFreeInfo);
    return port;
}

// A port created with createPort, its source added to this thread's loop in the default mode.
class CFMachPortOnThisLoop : public testing::Test
{
protected:
    void SetUp() override
    {
        fPort = createPort(fReceived);
        ASSERT_NE(fPort, nullptr);
        fSource = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, fPort, 0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), fSource, kCFRunLoopDefaultMode);
    }

    void TearDown() override
    {
        if (!fPort) {
            return;
        }
        CFMachPortInvalidate(fPort);
        CFRelease(fSource);
        CFRelease(fPort);
    }

    Received fReceived;
    CFMachPortRef fPort = nullptr;
    CFRunLoopSourceRef fSource = nullptr;
};

TEST(CFMachPort, RecordsFromAnotherThreadReachTheCalloutOnTheLoopsThreadInOrder)
{
    Received received;
    CFMachPortRef port = createPort(received);
    ASSERT_NE(port, nullptr);
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
    LoopThread thread([&] { CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode); });

    std::thread sender([&] {
        for (uint32_t sequence = 0; sequence < kRecords; ++sequence) {
            EXPECT_EQ(send(CFMachPortGetPort(port), sequence), MACH_MSG_SUCCESS);
        }
    });
    sender.join();
    received.fChanged.waitUntil([&] { return received.fCount.load() == kRecords; });
    thread.stop();

    ASSERT_EQ(received.fSequences.size(), size_t(kRecords));
    for (uint32_t sequence = 0; sequence < kRecords; ++sequence) {
        EXPECT_EQ(received.fSequences[sequence], sequence);
        EXPECT_EQ(received.fSizes[sequence], CFIndex(kRecordSize));
        EXPECT_EQ(received.fThreads[sequence], thread.id());
    }
    EXPECT_EQ(received.fCorrupt, 0);
    CFMachPortInvalidate(port);
    CFRelease(source);
    CFRelease(port);
}

TEST_F(CFMachPortOnThisLoop, MessagesNotYetHandedOverCountAgainstTheQueueLimit)
{
    for (uint32_t sequence = 0; sequence < MACH_PORT_QLIMIT_DEFAULT; ++sequence) {
        EXPECT_EQ(send(CFMachPortGetPort(fPort), sequence, MACH_SEND_TIMEOUT), MACH_MSG_SUCCESS);
    }
    EXPECT_EQ(send(CFMachPortGetPort(fPort), 99, MACH_SEND_TIMEOUT), MACH_SEND_TIMED_OUT);

    // One message per pass; the loop hands each over exactly once.
    while (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) == kCFRunLoopRunHandledSource) {
    }
    EXPECT_EQ(fReceived.fSequences, (std::vector<uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(send(CFMachPortGetPort(fPort), 5, MACH_SEND_TIMEOUT), MACH_MSG_SUCCESS);
}

TEST(CFMachPort, WrapsAnExistingReceiveRightAndOwnsIt)
{
    mach_port_t name = MACH_PORT_NULL;
    ASSERT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &name), KERN_SUCCESS);
    ASSERT_EQ(mach_port_insert_right(mach_task_self(), name, name, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
    Received received;
    CFMachPortContext context{};
    context.info = &received;
    CFMachPortRef port =
        CFMachPortCreateWithPort(kCFAllocatorDefault, name, Received::callout, &context, nullptr);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(CFMachPortGetPort(port), name);
    CFMachPortContext read{};
    CFMachPortGetContext(port, &read);
    EXPECT_EQ(read.info, &received);

    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, port, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    EXPECT_EQ(send(name, 7, MACH_SEND_TIMEOUT), MACH_MSG_SUCCESS);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), kCFRunLoopRunHandledSource);
    EXPECT_EQ(received.fSequences, std::vector<uint32_t>{7});

    // Invalidation destroys the right the port was given.
    CFMachPortInvalidate(port);
    EXPECT_EQ(send(name, 8, MACH_SEND_TIMEOUT), MACH_SEND_INVALID_DEST);
    CFRelease(source);
    CFRelease(port);
}

TEST_F(CFMachPortOnThisLoop, InvalidatedPortRefusesSendsAndLeavesItsLoops)
{
    EXPECT_EQ(send(CFMachPortGetPort(fPort), 0, MACH_SEND_TIMEOUT), MACH_MSG_SUCCESS);

    CFMachPortInvalidate(fPort);

    EXPECT_FALSE(CFMachPortIsValid(fPort));
    EXPECT_FALSE(CFRunLoopSourceIsValid(fSource));
    EXPECT_FALSE(CFRunLoopContainsSource(CFRunLoopGetCurrent(), fSource, kCFRunLoopDefaultMode));
    EXPECT_EQ(send(CFMachPortGetPort(fPort), 1, MACH_SEND_TIMEOUT), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), kCFRunLoopRunFinished);
    EXPECT_EQ(fReceived.fCount.load(), 0);
}

} // namespace
