#include "WaitFor.h"

#include <DarwinTesting/ThreadPolicy.h>
#include <mach/mach.h>

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <thread>

namespace {

// A thread that stays alive until the test ends, with its name as seen from outside.
class LiveThread
{
public:
    LiveThread()
        : fThread([this] {
              fSelfName = mach_thread_self();
              waitFor([this] { return fDone.load(); });
          })
    {
        waitFor([this] { return fSelfName.load() != MACH_PORT_NULL; });
        fName = pthread_mach_thread_np(fThread.native_handle());
    }
    ~LiveThread() { fDone = true; }

    mach_port_t name() const { return fName; }
    mach_port_t selfName() const { return fSelfName; }

private:
    std::atomic<mach_port_t> fSelfName{MACH_PORT_NULL};
    std::atomic<bool> fDone{false};
    mach_port_t fName = MACH_PORT_NULL;
    std::jthread fThread;
};

TEST(ThreadNames, StableForTheThreadAndDifferentBetweenLiveThreads)
{
    LiveThread first;
    LiveThread second;
    EXPECT_NE(first.name(), MACH_PORT_NULL);
    EXPECT_EQ(first.name(), first.selfName());
    EXPECT_EQ(second.name(), second.selfName());
    EXPECT_NE(first.name(), second.name());
    EXPECT_NE(first.name(), mach_thread_self());
    EXPECT_EQ(mach_thread_self(), pthread_mach_thread_np(pthread_self()));
    EXPECT_EQ(mach_thread_self(), mach_thread_self());
}

TEST(ThreadPolicy, RecordsEachThreadsPoliciesApart)
{
    LiveThread worker;
    LiveThread other;
    thread_time_constraint_policy_data_t constraint{2500000, 3000000, 4000000, TRUE};
    ASSERT_EQ(thread_policy_set(worker.name(), THREAD_TIME_CONSTRAINT_POLICY,
                                reinterpret_cast<thread_policy_t>(&constraint),
                                THREAD_TIME_CONSTRAINT_POLICY_COUNT),
              KERN_SUCCESS);
    thread_precedence_policy_data_t precedence{-63};
    ASSERT_EQ(thread_policy_set(other.name(), THREAD_PRECEDENCE_POLICY,
                                reinterpret_cast<thread_policy_t>(&precedence),
                                THREAD_PRECEDENCE_POLICY_COUNT),
              KERN_SUCCESS);

    thread_time_constraint_policy_data_t read{};
    mach_msg_type_number_t count = THREAD_TIME_CONSTRAINT_POLICY_COUNT;
    boolean_t getDefault = FALSE;
    ASSERT_EQ(thread_policy_get(worker.name(), THREAD_TIME_CONSTRAINT_POLICY,
                                reinterpret_cast<thread_policy_t>(&read), &count, &getDefault),
              KERN_SUCCESS);
    EXPECT_EQ(read.period, 2500000u);
    EXPECT_EQ(read.computation, 3000000u);
    EXPECT_EQ(read.constraint, 4000000u);
    EXPECT_EQ(read.preemptible, TRUE);
    EXPECT_FALSE(getDefault);

    EXPECT_EQ(DarwinTesting::recordedThreadPolicy(other.name(), THREAD_PRECEDENCE_POLICY),
              (std::vector<integer_t>{-63}));
    EXPECT_FALSE(DarwinTesting::recordedThreadPolicy(other.name(), THREAD_TIME_CONSTRAINT_POLICY));
    EXPECT_FALSE(DarwinTesting::recordedThreadPolicy(worker.name(), THREAD_PRECEDENCE_POLICY));

    // A thread without a record reads the defaults.
    count = THREAD_TIME_CONSTRAINT_POLICY_COUNT;
    ASSERT_EQ(thread_policy_get(other.name(), THREAD_TIME_CONSTRAINT_POLICY,
                                reinterpret_cast<thread_policy_t>(&read), &count, &getDefault),
              KERN_SUCCESS);
    EXPECT_TRUE(getDefault);
}

TEST(ThreadPolicy, StandardPolicyCarriesNoWords)
{
    LiveThread worker;
    EXPECT_EQ(thread_policy_set(worker.name(), THREAD_STANDARD_POLICY, nullptr, THREAD_STANDARD_POLICY_COUNT),
              KERN_SUCCESS);
    EXPECT_EQ(DarwinTesting::recordedThreadPolicy(worker.name(), THREAD_STANDARD_POLICY),
              std::vector<integer_t>{});
}

TEST(ThreadPolicy, WrongCountsAndFlavorsAreRefused)
{
    LiveThread worker;
    integer_t words[8] = {};
    struct Case
    {
        thread_policy_flavor_t fFlavor;
        mach_msg_type_number_t fCount;
    };
    for (Case wrong :
         {Case{THREAD_STANDARD_POLICY, 1}, Case{THREAD_TIME_CONSTRAINT_POLICY, 3},
          Case{THREAD_TIME_CONSTRAINT_POLICY, 5}, Case{THREAD_PRECEDENCE_POLICY, 0}, Case{99, 1}}) {
        EXPECT_EQ(thread_policy_set(worker.name(), wrong.fFlavor, words, wrong.fCount), KERN_INVALID_ARGUMENT)
            << wrong.fFlavor << " with " << wrong.fCount;
        EXPECT_FALSE(DarwinTesting::recordedThreadPolicy(worker.name(), wrong.fFlavor));
    }
    mach_msg_type_number_t count = THREAD_TIME_CONSTRAINT_POLICY_COUNT - 1;
    boolean_t getDefault = FALSE;
    EXPECT_EQ(thread_policy_get(worker.name(), THREAD_TIME_CONSTRAINT_POLICY, words, &count, &getDefault),
              KERN_INVALID_ARGUMENT);
}

TEST(ThreadPolicy, InjectedFailuresReachTheNextCallOnThatThreadOnly)
{
    LiveThread worker;
    LiveThread other;
    thread_precedence_policy_data_t precedence{-63};
    auto set = [&](mach_port_t thread) {
        return thread_policy_set(thread, THREAD_PRECEDENCE_POLICY,
                                 reinterpret_cast<thread_policy_t>(&precedence),
                                 THREAD_PRECEDENCE_POLICY_COUNT);
    };
    DarwinTesting::failNextThreadPolicySet(worker.name(), KERN_FAILURE);
    EXPECT_EQ(set(other.name()), KERN_SUCCESS);
    EXPECT_EQ(set(worker.name()), KERN_FAILURE);
    EXPECT_FALSE(DarwinTesting::recordedThreadPolicy(worker.name(), THREAD_PRECEDENCE_POLICY));
    EXPECT_EQ(set(worker.name()), KERN_SUCCESS);

    DarwinTesting::failNextThreadPolicyGet(worker.name(), KERN_INVALID_ARGUMENT);
    thread_time_constraint_policy_data_t read{};
    mach_msg_type_number_t count = THREAD_TIME_CONSTRAINT_POLICY_COUNT;
    boolean_t getDefault = FALSE;
    auto get = [&] {
        return thread_policy_get(worker.name(), THREAD_TIME_CONSTRAINT_POLICY,
                                 reinterpret_cast<thread_policy_t>(&read), &count, &getDefault);
    };
    EXPECT_EQ(get(), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(get(), KERN_SUCCESS);
}

TEST(ThreadPolicy, UnknownThreadIsRefused)
{
    thread_precedence_policy_data_t precedence{0};
    EXPECT_EQ(thread_policy_set(MACH_PORT_NULL, THREAD_PRECEDENCE_POLICY,
                                reinterpret_cast<thread_policy_t>(&precedence),
                                THREAD_PRECEDENCE_POLICY_COUNT),
              KERN_INVALID_ARGUMENT);
}

} // namespace
