#include "zelk.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>

#include <gtest/gtest.h>
#include <sys/time.h>

#include "support/alarm.h"
#include "time/nanoseconds.h"

namespace {

int64_t monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

TEST(TimeGetTest, ReadsTheWallClockInWholeMicroseconds)
{
    zelkTime first = 0, second = 0;
    ASSERT_EQ(0, zelkTimeGet(&first));
    ASSERT_EQ(0, zelkTimeGet(&second));
    EXPECT_EQ(0u, first % 1000);
    EXPECT_EQ(0u, second % 1000);
    EXPECT_LE(first, second);
    const int64_t wall = static_cast<int64_t>(time(nullptr)) * 1'000'000'000;
    EXPECT_NEAR(static_cast<double>(wall), static_cast<double>(first), 2e9);

    errno = 0;
    EXPECT_EQ(-1, zelkTimeGet(nullptr));
    EXPECT_EQ(EINVAL, errno);
}

TEST(TimespecTest, SplitsAndJoinsNanoseconds)
{
    timespec ts{};
    ASSERT_TRUE(zelk::detail::toTimespec(999'999'999, &ts));
    EXPECT_EQ(0, ts.tv_sec);
    EXPECT_EQ(999'999'999, ts.tv_nsec);
    ASSERT_TRUE(zelk::detail::toTimespec(1'500'000'000, &ts));
    EXPECT_EQ(1, ts.tv_sec);
    EXPECT_EQ(500'000'000, ts.tv_nsec);
    EXPECT_EQ(1'500'000'000u, zelk::detail::fromTimespec(ts));

    // The largest time_t second still fits; one more does not.
    const uint64_t maxSeconds =
        static_cast<uint64_t>(std::numeric_limits<time_t>::max());
    if (maxSeconds < UINT64_MAX / 1'000'000'000) {
        EXPECT_TRUE(zelk::detail::toTimespec(maxSeconds * 1'000'000'000, &ts));
        EXPECT_FALSE(
            zelk::detail::toTimespec((maxSeconds + 1) * 1'000'000'000, &ts));
    } else {
        EXPECT_TRUE(zelk::detail::toTimespec(UINT64_MAX, &ts)); // 64-bit time_t
    }
}

TEST(SleepTest, SleepsTheWholeDuration)
{
    const zelkTime zero = 0;
    int64_t start = monotonicNs();
    EXPECT_EQ(0, zelkSleep(&zero));
    EXPECT_LT(monotonicNs() - start, 5'000'000'000); // hang guard only

    const zelkTime oneAndAHalf = 1'500'000'000;
    start = monotonicNs();
    errno = 77;
    EXPECT_EQ(0, zelkSleep(&oneAndAHalf));
    EXPECT_EQ(77, errno); // untouched on success
    const int64_t slept = monotonicNs() - start;
    EXPECT_GE(slept, 1'500'000'000);
    EXPECT_LT(slept, 10'000'000'000); // hang guard only
}

TEST(SleepTest, RefusesNullAndDurationsBeyondTimeT)
{
    errno = 0;
    EXPECT_EQ(-1, zelkSleep(nullptr));
    EXPECT_EQ(EINVAL, errno);
    if (sizeof(time_t) == 4) {
        const zelkTime tooLong = (uint64_t{1} << 31) * 1'000'000'000;
        errno = 0;
        EXPECT_EQ(-1, zelkSleep(&tooLong));
        EXPECT_EQ(EINVAL, errno);
    }
}

TEST(SleepTest, SignalHandlersDoNotShortenTheSleep)
{
    const zelk::test::PeriodicAlarm alarm(100'000);
    const zelkTime second = 1'000'000'000;
    const int64_t start = monotonicNs();
    EXPECT_EQ(0, zelkSleep(&second));
    const int64_t slept = monotonicNs() - start;
    EXPECT_GE(slept, 1'000'000'000);
    // The handler really interrupted the sleep, more than once. About ten
    // alarms fall in the second, but one that comes while the last is still
    // pending is lost, and a loaded machine runs the handler late.
    EXPECT_GE(alarm.count(), 2);
}

TEST(TimezoneTest, SetsTzForLocalTimeConversions)
{
    const time_t t = 1'700'000'000; // 2023-11-14 22:13:20 UTC
    tm local{}, utc{};
    ASSERT_EQ(0, zelkTimezoneSet("UTC0"));
    localtime_r(&t, &local);
    gmtime_r(&t, &utc);
    EXPECT_EQ(utc.tm_hour, local.tm_hour);
    EXPECT_EQ(utc.tm_mday, local.tm_mday);
    EXPECT_EQ(utc.tm_min, local.tm_min);
    EXPECT_STREQ("UTC0", getenv("TZ"));

    ASSERT_EQ(0, zelkTimezoneSet("XYZ-3")); // three hours east of UTC
    localtime_r(&t, &local);
    EXPECT_EQ(1, local.tm_hour);
    EXPECT_EQ(15, local.tm_mday);

    errno = 0;
    EXPECT_EQ(-1, zelkTimezoneSet(nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_STREQ("XYZ-3", getenv("TZ"));
}

} // namespace
