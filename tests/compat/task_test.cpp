#include "zelk.h"

#include <atomic>
#include <cerrno>
#include <cstdint>

#include <gtest/gtest.h>
#include <pthread.h>

#include "support/child.h"

namespace {

struct Seen {
    int32_t args[4];
    pthread_t self;
};
Seen seen; // written by the task, read after joining it

int entry4(int32_t a, int32_t b, int32_t c, int32_t d)
{
    seen = Seen{{a, b, c, d}, pthread_self()};
    return 99;
}

int entry1(int32_t a)
{
    seen = Seen{{a, 0, 0, 0}, pthread_self()};
    return 99;
}

void join(sysCalTaskId task)
{
    void *result = &seen;
    ASSERT_EQ(0, pthread_join(static_cast<pthread_t>(task), &result));
    EXPECT_EQ(nullptr, result); // the entry's result is dropped
}

TEST(TaskSpawnTest, RunsTheEntryWithItsArgumentWordsOnAJoinableThread)
{
    const sysCalTaskId four = sysCalSp(123, -5, entry4, 1, 2, 3, -4);
    ASSERT_NE(0u, four);
    join(four);
    EXPECT_EQ(1, seen.args[0]);
    EXPECT_EQ(2, seen.args[1]);
    EXPECT_EQ(3, seen.args[2]);
    EXPECT_EQ(-4, seen.args[3]);
    EXPECT_TRUE(pthread_equal(static_cast<pthread_t>(four), seen.self));

    const sysCalTaskId one = sysCalSpEx(0, 0, entry1, 7);
    ASSERT_NE(0u, one);
    join(one);
    EXPECT_EQ(7, seen.args[0]);
    EXPECT_TRUE(pthread_equal(static_cast<pthread_t>(one), seen.self));

    // Without an entry the task ends at once, still joinable.
    const sysCalTaskId none = sysCalSp(0, 0, nullptr, 1, 2, 3, 4);
    ASSERT_NE(0u, none);
    join(none);
    const sysCalTaskId noneEx = sysCalSpEx(0, 0, nullptr, 1);
    ASSERT_NE(0u, noneEx);
    join(noneEx);
}

TEST(TaskSpawnTest, FailsWithZeroAndLeavesErrnoAlone)
{
    // A default stack larger than the address space makes thread creation
    // fail. Process-wide, so in a child.
    EXPECT_EQ(0, zelk::test::inChild([] {
                  pthread_attr_t attr;
                  ASSERT_EQ(0, pthread_getattr_default_np(&attr));
                  ASSERT_EQ(0,
                            pthread_attr_setstacksize(&attr, SIZE_MAX / 4 * 3));
                  ASSERT_EQ(0, pthread_setattr_default_np(&attr));
                  pthread_attr_destroy(&attr);

                  errno = 4321;
                  EXPECT_EQ(0u, sysCalSp(0, 0, entry4, 1, 2, 3, 4));
                  EXPECT_EQ(0u, sysCalSpEx(0, 0, entry1, 1));
                  EXPECT_EQ(4321, errno);
              }));
}

} // namespace
