// The waits of this layer that honour the process clock: on the manual clock each ends only once
// an advance passes its deadline, and then reads the clock at that deadline; on the real clock each
// ends, never before its deadline.

#include <DarwinTesting/ManualWait.h>
#include <mach/mach.h>
#include <mach/mach_time.h>

#include <gtest/gtest.h>

#include <pthread.h>

#include <cerrno>
#include <functional>
#include <memory>

using namespace std::chrono_literals;

namespace {

// One kind of wait, set up so that nothing but its time-out ends it.
struct ClockedWait
{
    const char* fName;
    // Makes what the wait needs and returns a call that waits for `timeout` and answers its result.
    std::function<std::function<int(std::chrono::nanoseconds)>()> fPrepare;
    int fTimedOut;
};

mach_timespec_t timespecOf(std::chrono::nanoseconds timeout)
{
    return mach_timespec_t{unsigned(timeout.count() / 1000000000), int(timeout.count() % 1000000000)};
}

std::function<int(std::chrono::nanoseconds)> semaphoreWait()
{
    auto semaphore = std::shared_ptr<semaphore_t>(new semaphore_t, [](semaphore_t* semaphore) {
        semaphore_destroy(mach_task_self(), *semaphore);
        delete semaphore;
    });
    semaphore_create(mach_task_self(), semaphore.get(), SYNC_POLICY_FIFO, 0);
    return [semaphore](std::chrono::nanoseconds timeout) {
        return semaphore_timedwait(*semaphore, timespecOf(timeout));
    };
}

std::function<int(std::chrono::nanoseconds)> waitUntil()
{
    return [](std::chrono::nanoseconds timeout) {
        return mach_wait_until(mach_absolute_time() + uint64_t(timeout.count()));
    };
}

std::function<int(std::chrono::nanoseconds)> conditionWait()
{
    struct Condition
    {
        pthread_mutex_t fMutex = PTHREAD_MUTEX_INITIALIZER;
        pthread_cond_t fCondition = PTHREAD_COND_INITIALIZER;
    };
    auto condition = std::make_shared<Condition>();
    return [condition](std::chrono::nanoseconds timeout) {
        timespec relative{time_t(timeout.count() / 1000000000), long(timeout.count() % 1000000000)};
        pthread_mutex_lock(&condition->fMutex);
        int result =
            pthread_cond_timedwait_relative_np(&condition->fCondition, &condition->fMutex, &relative);
        pthread_mutex_unlock(&condition->fMutex);
        return result;
    };
}

std::shared_ptr<mach_port_t> newPort()
{
    auto port = std::shared_ptr<mach_port_t>(new mach_port_t, [](mach_port_t* port) {
        mach_port_destroy(mach_task_self(), *port);
        delete port;
    });
    mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, port.get());
    mach_port_insert_right(mach_task_self(), *port, *port, MACH_MSG_TYPE_MAKE_SEND);
    return port;
}

mach_msg_return_t sendHeader(mach_port_t port, mach_msg_option_t options, mach_msg_timeout_t timeout)
{
    mach_msg_header_t header{
        MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, 0), sizeof header, port, MACH_PORT_NULL, 0, 0};
    return mach_msg(&header, MACH_SEND_MSG | options, sizeof header, 0, MACH_PORT_NULL, timeout,
                    MACH_PORT_NULL);
}

mach_msg_timeout_t millisecondsOf(std::chrono::nanoseconds timeout)
{
    return mach_msg_timeout_t(std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count());
}

std::function<int(std::chrono::nanoseconds)> messageSend()
{
    auto port = newPort();
    for (int i = 0; i < MACH_PORT_QLIMIT_DEFAULT; ++i) {
        sendHeader(*port, MACH_SEND_TIMEOUT, 0);
    }
    return [port](std::chrono::nanoseconds timeout) {
        return sendHeader(*port, MACH_SEND_TIMEOUT, millisecondsOf(timeout));
    };
}

std::function<int(std::chrono::nanoseconds)> messageReceive()
{
    auto port = newPort();
    return [port](std::chrono::nanoseconds timeout) {
        mach_msg_header_t buffer{};
        return mach_msg(&buffer, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buffer, *port,
                        millisecondsOf(timeout), MACH_PORT_NULL);
    };
}

class ClockedWaits : public testing::TestWithParam<ClockedWait>
{};

TEST_P(ClockedWaits, OnTheManualClockEndsOnlyOnceAdvancePassesTheDeadline)
{
    DarwinTesting::ManualWaitOutcome outcome = DarwinTesting::observeManualWait(GetParam().fPrepare(), 2s);
    EXPECT_FALSE(outcome.fEndedBeforeDeadline);
    EXPECT_TRUE(outcome.fEndedAtDeadline);
    EXPECT_EQ(outcome.fResult, GetParam().fTimedOut);
    EXPECT_EQ(outcome.fEndedAt, outcome.fDeadline);
}

TEST_P(ClockedWaits, OnTheRealClockEndsNeverBeforeTheDeadline)
{
    constexpr auto kTimeout = 20ms;
    auto wait = GetParam().fPrepare();
    uint64_t start = mach_absolute_time();
    int result = wait(kTimeout);
    uint64_t end = mach_absolute_time();
    EXPECT_EQ(result, GetParam().fTimedOut);
    EXPECT_GE(end - start, uint64_t(std::chrono::nanoseconds(kTimeout).count()));
}

INSTANTIATE_TEST_SUITE_P(
    Darwin, ClockedWaits,
    testing::Values(ClockedWait{"semaphore_timedwait", semaphoreWait, KERN_OPERATION_TIMED_OUT},
                    ClockedWait{"mach_wait_until", waitUntil, KERN_SUCCESS},
                    ClockedWait{"pthread_cond_timedwait_relative_np", conditionWait, ETIMEDOUT},
                    ClockedWait{"mach_msg_send", messageSend, MACH_SEND_TIMED_OUT},
                    ClockedWait{"mach_msg_receive", messageReceive, MACH_RCV_TIMED_OUT}),
    [](const testing::TestParamInfo<ClockedWait>& info) { return info.param.fName; });

} // namespace
