// Refusals that the threads library never gives for the values the library
// passes, and an allocation that does not fail on demand: thread creation is
// linked into this program with those calls wrapped (-Wl,--wrap), so that
// each can be made to fail once.
#include "zelk.h"

#include <cerrno>
#include <new>

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include "support/child.h"
#include "thread_watch.h"

namespace {

// The error number the next call of each wrapped function returns (0: none).
int failInherit = 0;
int failPolicy = 0;
int failParam = 0;
bool failAllocation = false;

int take(int &failure)
{
    const int rc = failure;
    failure = 0;
    return rc;
}

} // namespace

// The wrapped names; the operator new(size_t, const std::nothrow_t &) pair
// is named by the build, as its mangled name depends on the size_t type.
extern "C" {
int __real_pthread_attr_setinheritsched(pthread_attr_t *, int);
int __real_pthread_attr_setschedpolicy(pthread_attr_t *, int);
int __real_pthread_attr_setschedparam(pthread_attr_t *, const sched_param *);
void *ZELK_REAL_NOTHROW_NEW(size_t, const std::nothrow_t &);
int __wrap_pthread_attr_setinheritsched(pthread_attr_t *, int);
int __wrap_pthread_attr_setschedpolicy(pthread_attr_t *, int);
int __wrap_pthread_attr_setschedparam(pthread_attr_t *, const sched_param *);
// Visible: a sanitizer runtime may reach the allocation through it.
__attribute__((visibility("default"))) void *
ZELK_WRAP_NOTHROW_NEW(size_t, const std::nothrow_t &);

int __wrap_pthread_attr_setinheritsched(pthread_attr_t *attr, int inherit)
{
    const int rc = take(failInherit);
    return rc != 0 ? rc : __real_pthread_attr_setinheritsched(attr, inherit);
}

int __wrap_pthread_attr_setschedpolicy(pthread_attr_t *attr, int policy)
{
    const int rc = take(failPolicy);
    return rc != 0 ? rc : __real_pthread_attr_setschedpolicy(attr, policy);
}

int __wrap_pthread_attr_setschedparam(pthread_attr_t *attr,
                                      const sched_param *param)
{
    const int rc = take(failParam);
    return rc != 0 ? rc : __real_pthread_attr_setschedparam(attr, param);
}

void *ZELK_WRAP_NOTHROW_NEW(size_t size, const std::nothrow_t &tag)
{
    if (failAllocation) {
        failAllocation = false;
        return nullptr;
    }
    return ZELK_REAL_NOTHROW_NEW(size, tag);
}
}

namespace {

using zelk::test::createRefused;
using zelk::test::ThreadWatch;

TEST(ThreadFaultTest, RefusedSchedulingFailsWhenStrictOrUnconditional)
{
    if (getuid() != 0)
        GTEST_SKIP() << "SCHED_RR priorities need real user id 0";

    // The inherit-scheduler setting counts whatever the flags say.
    const zelkThreadAttr inherit{-1, 0, 0, nullptr};
    failInherit = ENOTSUP;
    EXPECT_TRUE(createRefused(&inherit, ENOTSUP));
    const zelkThreadAttr explicitly{5, 0, 0, nullptr};
    failInherit = ENOTSUP;
    EXPECT_TRUE(createRefused(&explicitly, ENOTSUP));

    const zelkThreadAttr strict{5, 0, ZELK_THREAD_SCHED_STRICT, nullptr};
    failPolicy = ENOTSUP;
    EXPECT_TRUE(createRefused(&strict, ENOTSUP));
    failParam = ENOTSUP;
    EXPECT_TRUE(createRefused(&strict, ENOTSUP));

    // Without the flag the refused policy is skipped: ordinary scheduling.
    failPolicy = ENOTSUP;
    ThreadWatch watch;
    pthread_t thread;
    ASSERT_EQ(
        0, zelkThreadCreate(&thread, &explicitly, ThreadWatch::entry, &watch));
    ASSERT_TRUE(watch.waitStarted());
    EXPECT_EQ(SCHED_OTHER, watch.view.policy);
    watch.release();
    EXPECT_TRUE(zelk::test::waitThreadGone(watch.view.tid));
}

// Runs as a user whose real user id is not 0.
void checkOrdinaryPolicyRefused()
{
    ASSERT_EQ("", zelk::test::dropToUnprivilegedUser());
    const zelkThreadAttr attr{5, 0, 0, nullptr};
    failPolicy = ENOTSUP;
    EXPECT_TRUE(createRefused(&attr, ENOTSUP));
}

TEST(ThreadFaultTest, RefusedOrdinaryPolicyAndAllocationFail)
{
    failAllocation = true;
    EXPECT_TRUE(createRefused(nullptr, ENOMEM));
    const zelkThreadAttr attr{5, 0, 0, nullptr};
    failAllocation = true;
    EXPECT_TRUE(createRefused(&attr, ENOMEM));

    if (getuid() != 0)
        GTEST_SKIP() << "leaving user id 0 behind needs it first";
    EXPECT_EQ(0, zelk::test::inChild(checkOrdinaryPolicyRefused));
}

} // namespace
