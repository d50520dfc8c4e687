#include "zelk.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <gtest/gtest.h>
#include <sys/time.h>

#include "compat/millis.h"
#include "support/alarm.h"

namespace {

int64_t monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

TEST(TaskDelayTest, ZeroAndNegativeDelaysReturnAtOnce)
{
    const int64_t start = monotonicMs();
    for (int32_t ms : {0, -1, -1000, INT32_MIN}) {
        errno = 55;
        EXPECT_EQ(0, sysCalTaskDelay(ms));
        EXPECT_EQ(55, errno); // nanosleep's EINVAL is not passed on
    }
    EXPECT_LT(monotonicMs() - start, 500); // hang guard only
}

TEST(TaskDelayTest, SignalHandlersDoNotShortenTheDelay)
{
    const zelk::test::PeriodicAlarm alarm(100'000);
    errno = 0;
    const int64_t start = monotonicMs();
    EXPECT_EQ(0, sysCalTaskDelay(1500));
    const int64_t slept = monotonicMs() - start;
    EXPECT_EQ(0, errno); // EINTR is not passed on
    EXPECT_GE(slept, 1500);
    EXPECT_LT(slept, 15'000);    // hang guard only
    EXPECT_GE(alarm.count(), 5); // the handler really interrupted the delay
}

TEST(ClockTest, CountsWallClockMillisecondsModulo32Bits)
{
    EXPECT_EQ(3'487'918'203u,
              zelk::detail::millisModulo(1'700'000'000, 123'456));
    EXPECT_EQ(0u, zelk::detail::millisModulo(4'294'967, 296'000)); // 2^32 ms
    EXPECT_EQ(0xFFFFFFFFu, zelk::detail::millisModulo(4'294'967, 295'999));

    timeval before, after;
    gettimeofday(&before, nullptr);
    errno = 66;
    const uint32_t now = sysCalTime();
    EXPECT_EQ(66, errno);
    gettimeofday(&after, nullptr);
    const uint32_t low =
        zelk::detail::millisModulo(before.tv_sec, before.tv_usec);
    const uint32_t high =
        zelk::detail::millisModulo(after.tv_sec, after.tv_usec);
    EXPECT_LE(static_cast<uint32_t>(now - low),
              static_cast<uint32_t>(high - low));
}

TEST(VersionTest, ReportsNumberAndExactlyThirtyBytesOfText)
{
    EXPECT_EQ(0x1008, sysVersion);

    uint16_t version = 0;
    EXPECT_EQ(0, sysCalGetVersion(&version, nullptr));
    EXPECT_EQ(0x1008, version);

    char text[40];
    std::memset(text, 0xAA, sizeof text);
    version = 0;
    EXPECT_EQ(0, sysCalGetVersion(&version, text));
    EXPECT_EQ(0x1008, version);
    EXPECT_EQ(0, std::memcmp(text, "POSIX system interface", 22));
    for (int i = 22; i < 30; ++i)
        EXPECT_EQ(0, text[i]) << i;
    for (int i = 30; i < 40; ++i)
        EXPECT_EQ(static_cast<char>(0xAA), text[i]) << i;

    // Without a version pointer only the text is written.
    std::memset(text, 0xAA, sizeof text);
    EXPECT_EQ(0, sysCalGetVersion(nullptr, text));
    EXPECT_STREQ("POSIX system interface", text);
}

} // namespace
