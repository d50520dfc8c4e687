#include "zelk.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/child.h"
#include "thread_watch.h"

using zelk::test::createRefused;
using zelk::test::dropToUnprivilegedUser;
using zelk::test::fileExists;
using zelk::test::inChild;
using zelk::test::markerPath;
using zelk::test::ThreadWatch;

namespace {

// Creates a watched thread, waits for its view and lets it end.
::testing::AssertionResult runWatched(const zelkThreadAttr *attr,
                                      ThreadWatch &watch)
{
    pthread_t thread;
    if (zelkThreadCreate(&thread, attr, ThreadWatch::entry, &watch) != 0)
        return ::testing::AssertionFailure()
               << "zelkThreadCreate: " << strerror(errno);
    if (!watch.waitStarted())
        return ::testing::AssertionFailure() << "thread did not start";
    watch.release();
    if (attr == nullptr)
        pthread_join(thread, nullptr);
    else if (!zelk::test::waitThreadGone(watch.view.tid))
        return ::testing::AssertionFailure() << "thread did not end";
    return ::testing::AssertionSuccess();
}

int expectedRoundRobin(int priority)
{
    const int low = sched_get_priority_min(SCHED_RR);
    const int high = sched_get_priority_max(SCHED_RR);
    return low + ((high - low) * priority) / 31;
}

TEST(ThreadCreateTest, NullAttributeGivesJoinableNonameThreadWithMarker)
{
    const std::string why = zelk::test::markerDirReady();
    if (!why.empty())
        GTEST_SKIP() << why;

    ThreadWatch watch;
    pthread_t thread;
    ASSERT_EQ(0,
              zelkThreadCreate(&thread, nullptr, ThreadWatch::entry, &watch));
    ASSERT_TRUE(watch.waitStarted());
    const std::string marker = markerPath(watch.view.tid, "noname");
    EXPECT_TRUE(fileExists(marker)) << marker;
    EXPECT_EQ("noname", watch.view.comm);
    EXPECT_EQ(PTHREAD_CREATE_JOINABLE, watch.view.detachState);

    watch.release();
    void *result = nullptr;
    ASSERT_EQ(0, pthread_join(thread, &result));
    EXPECT_EQ(&watch, result);
    EXPECT_FALSE(fileExists(marker)) << "removed when the entry returned";
}

TEST(ThreadCreateTest, RefusesNullArgumentsAndPrioritiesOffTheScale)
{
    pthread_t thread;
    errno = 0;
    EXPECT_EQ(-1,
              zelkThreadCreate(nullptr, nullptr, ThreadWatch::entry, nullptr));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(-1, zelkThreadCreate(&thread, nullptr, nullptr, nullptr));
    EXPECT_EQ(EINVAL, errno);

    for (const int32_t priority : {32, -2, INT_MIN, INT_MAX}) {
        const zelkThreadAttr attr{priority, 0, 0, nullptr};
        EXPECT_TRUE(createRefused(&attr, EINVAL)) << priority;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, zelk::test::refusedEntriesRun())
        << "no refused call may start a thread";
}

TEST(ThreadCreateTest, MapsTheScaleOntoRoundRobinForRoot)
{
    if (getuid() != 0)
        GTEST_SKIP() << "SCHED_RR priorities need real user id 0";

    for (int priority = 0; priority <= 31; ++priority) {
        const zelkThreadAttr attr{priority, 0, ZELK_THREAD_SCHED_STRICT,
                                  nullptr};
        ThreadWatch watch;
        ASSERT_TRUE(runWatched(&attr, watch)) << priority;
        EXPECT_EQ(SCHED_RR, watch.view.policy) << priority;
        EXPECT_EQ(expectedRoundRobin(priority), watch.view.priority)
            << priority;
        EXPECT_EQ(PTHREAD_CREATE_DETACHED, watch.view.detachState);
    }

    // The mapping that Linux's 1-99 range gives, written out.
    if (sched_get_priority_min(SCHED_RR) == 1 &&
        sched_get_priority_max(SCHED_RR) == 99) {
        const int linux[32] = {1,  4,  7,  10, 13, 16, 19, 23, 26, 29, 32,
                               35, 38, 42, 45, 48, 51, 54, 57, 61, 64, 67,
                               70, 73, 76, 80, 83, 86, 89, 92, 95, 99};
        for (int priority = 0; priority <= 31; ++priority)
            EXPECT_EQ(linux[priority], expectedRoundRobin(priority));
    }
}

TEST(ThreadCreateTest, TakesNativePrioritiesWithinTheRoundRobinRange)
{
    if (getuid() != 0)
        GTEST_SKIP() << "SCHED_RR priorities need real user id 0";
    const int low = sched_get_priority_min(SCHED_RR);
    const int high = sched_get_priority_max(SCHED_RR);

    for (const int native : {low, (low + high) / 2, high}) {
        const zelkThreadAttr attr{native, 0, ZELK_THREAD_PRIO_NATIVE, nullptr};
        ThreadWatch watch;
        ASSERT_TRUE(runWatched(&attr, watch)) << native;
        EXPECT_EQ(SCHED_RR, watch.view.policy);
        EXPECT_EQ(native, watch.view.priority);
        EXPECT_EQ(0, zelkValidatePriority(native));
    }
    for (const int native : {low - 1, high + 1}) {
        const zelkThreadAttr attr{native, 0, ZELK_THREAD_PRIO_NATIVE, nullptr};
        EXPECT_TRUE(createRefused(&attr, EINVAL)) << native;
        errno = 0;
        EXPECT_EQ(-1, zelkValidatePriority(native));
        EXPECT_EQ(EINVAL, errno) << native;
    }
    EXPECT_EQ(0, zelk::test::refusedEntriesRun());
}

TEST(ThreadCreateTest, InheritsTheCreatorsSchedulingWithStackSize)
{
    if (getuid() != 0)
        GTEST_SKIP() << "a SCHED_RR creator needs real user id 0";
    const sched_param mine{20};
    ASSERT_EQ(0, pthread_setschedparam(pthread_self(), SCHED_RR, &mine));

    // The strict flags change nothing for an inherited priority.
    const uint32_t stack = 512 * 1024;
    const zelkThreadAttr attr{-1, stack, ZELK_THREAD_SCHED_STRICT, nullptr};
    ThreadWatch watch;
    ASSERT_TRUE(runWatched(&attr, watch));
    EXPECT_EQ(SCHED_RR, watch.view.policy);
    EXPECT_EQ(20, watch.view.priority);
    EXPECT_EQ(PTHREAD_CREATE_DETACHED, watch.view.detachState);
    // Sanitizers may add room of their own to a stack.
    EXPECT_GE(watch.view.stackSize, stack);
    EXPECT_LT(watch.view.stackSize, 4 * stack);
}

TEST(ThreadCreateTest, RefusedStackSizeFailsOnlyWhenStrict)
{
    pthread_attr_t defaults;
    pthread_getattr_default_np(&defaults);
    size_t defaultStack = 0;
    pthread_attr_getstacksize(&defaults, &defaultStack);
    pthread_attr_destroy(&defaults);

    const zelkThreadAttr strict{-1, 1, ZELK_THREAD_STACK_STRICT, nullptr};
    // EINVAL: the threads library's verdict on Linux.
    EXPECT_TRUE(createRefused(&strict, EINVAL));
    EXPECT_EQ(0, zelk::test::refusedEntriesRun());

    const zelkThreadAttr lenient{-1, 1, 0, nullptr};
    ThreadWatch watch;
    ASSERT_TRUE(runWatched(&lenient, watch));
    EXPECT_EQ(defaultStack, watch.view.stackSize);
}

// Runs as a user whose real user id is not 0.
void checkUnprivileged()
{
    if (getuid() == 0) {
        ASSERT_EQ("", dropToUnprivilegedUser());
    }
    EXPECT_EQ(0, zelkValidatePriority(0));
    for (const int native : {1, -1, 99}) {
        errno = 0;
        EXPECT_EQ(-1, zelkValidatePriority(native));
        EXPECT_EQ(EINVAL, errno) << native;
    }

    // Ordinary scheduling whatever the priority; an inherited one may be
    // strict. No marker can be written, and the thread runs all the same.
    const zelkThreadAttr accepted[] = {
        {5, 0, 0, nullptr},
        {31, 0, 0, nullptr},
        {0, 0, ZELK_THREAD_PRIO_NATIVE, nullptr},
        {-1, 0, ZELK_THREAD_SCHED_STRICT, nullptr},
    };
    for (const zelkThreadAttr &attr : accepted) {
        ThreadWatch watch;
        pthread_t thread;
        ASSERT_EQ(0,
                  zelkThreadCreate(&thread, &attr, ThreadWatch::entry, &watch))
            << attr.priority;
        ASSERT_TRUE(watch.waitStarted());
        EXPECT_EQ(SCHED_OTHER, watch.view.policy);
        EXPECT_EQ(0, watch.view.priority);
        EXPECT_EQ(PTHREAD_CREATE_DETACHED, watch.view.detachState);
        EXPECT_FALSE(fileExists(markerPath(watch.view.tid, "noname")));
        watch.release();
        ASSERT_TRUE(zelk::test::waitThreadGone(watch.view.tid));
    }

    const zelkThreadAttr refused[] = {
        {5, 0, ZELK_THREAD_SCHED_STRICT, nullptr},
        {0, 0, ZELK_THREAD_PRIO_NATIVE | ZELK_THREAD_SCHED_STRICT, nullptr},
        {1, 0, ZELK_THREAD_PRIO_NATIVE, nullptr},
    };
    for (const zelkThreadAttr &attr : refused) {
        EXPECT_TRUE(createRefused(&attr, EINVAL))
            << attr.priority << " " << attr.flags;
    }
    EXPECT_EQ(0, zelk::test::refusedEntriesRun());
}

TEST(ThreadCreateTest, UnprivilegedCallerGetsOrdinaryScheduling)
{
    EXPECT_EQ(0, inChild(checkUnprivileged));
}

// Runs as root without the right to real-time scheduling.
void checkRealTimeRefused()
{
    const rlimit none{0, 0};
    ASSERT_EQ(0, setrlimit(RLIMIT_RTPRIO, &none));
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2];
    ASSERT_EQ(0, syscall(SYS_capget, &header, caps));
    caps[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
    ASSERT_EQ(0, syscall(SYS_capset, &header, caps)) << strerror(errno);

    for (const uint32_t flags : {0u, ZELK_THREAD_SCHED_STRICT}) {
        const zelkThreadAttr attr{5, 0, flags, nullptr};
        EXPECT_TRUE(createRefused(&attr, EPERM)) << flags;
    }
}

// Runs as a user who may not start another thread.
void checkNoRoomForThreads()
{
    ASSERT_EQ("", dropToUnprivilegedUser());
    const rlimit none{0, 0};
    ASSERT_EQ(0, setrlimit(RLIMIT_NPROC, &none));
    EXPECT_TRUE(createRefused(nullptr, EAGAIN));
}

TEST(ThreadCreateTest, CreationRefusedBySystemComesBackWithItsNumber)
{
    if (getuid() != 0)
        GTEST_SKIP() << "dropping capabilities and users needs root";
    EXPECT_EQ(0, inChild(checkRealTimeRefused));
    EXPECT_EQ(0, inChild(checkNoRoomForThreads));
    EXPECT_EQ(0, zelk::test::refusedEntriesRun());
}

} // namespace
