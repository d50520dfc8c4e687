// The clock check of each service start, against a clock_getres that a
// preload library (getres_preload.c) makes coarse or failing on request.
#include "zelk.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

constexpr int kMarker = 4711;
const std::string kCoarse = "zelk: CLOCK_MONOTONIC's resolution is not 1 ns! "
                            "(might be checked by \"cat /proc/timer_list\")";

struct Start {
    int result;
    int err;
    std::string written; // what went to standard error
};

// Calls zelkTimerInit with standard error captured and errno preset.
Start startService(const zelkThreadAttr *attr)
{
    fflush(stderr);
    FILE *capture = tmpfile();
    const int saved = dup(STDERR_FILENO);
    dup2(fileno(capture), STDERR_FILENO);
    errno = kMarker;
    Start start{zelkTimerInit(0, attr), errno, ""};
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    rewind(capture);
    char buffer[512];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, capture)) > 0)
        start.written.append(buffer, got);
    fclose(capture);
    return start;
}

// Makes the preload library answer the service's clock query.
void clockAnswers(const char *mode)
{
    ASSERT_EQ(0, setenv("ZELK_TEST_CLOCK_GETRES", mode, 1));
    timespec res{};
    const int rc = clock_getres(CLOCK_MONOTONIC, &res);
    const bool replaced =
        std::string(mode) == "coarse" ? res.tv_nsec == 4000000 : rc == -1;
    ASSERT_TRUE(replaced) << "getres_preload is not preloaded";
}

TEST(TimerClockTest, FineClockStartsSilently)
{
    timespec res{};
    ASSERT_EQ(0, clock_getres(CLOCK_MONOTONIC, &res));
    if (res.tv_sec != 0 || res.tv_nsec != 1)
        GTEST_SKIP() << "this system's monotonic clock is not 1 ns";
    const Start start = startService(nullptr);
    EXPECT_EQ(0, start.result);
    EXPECT_EQ(kMarker, start.err);
    EXPECT_EQ("", start.written);
}

TEST(TimerClockTest, CoarseClockWarnsOnEveryStartAndOnlyThen)
{
    clockAnswers("coarse");
    // A failed start checked the clock too; the next start checks again.
    const zelkThreadAttr bad{99, 0, 0, nullptr};
    const Start failed = startService(&bad);
    EXPECT_EQ(-1, failed.result);
    EXPECT_EQ(EINVAL, failed.err);
    EXPECT_EQ(kCoarse, failed.written);

    const Start started = startService(nullptr);
    EXPECT_EQ(0, started.result);
    EXPECT_EQ(kMarker, started.err);
    ASSERT_EQ(92u, started.written.size()); // no line end, no zero byte
    EXPECT_EQ(kCoarse, started.written);

    const Start again = startService(nullptr);
    EXPECT_EQ(0, again.result);
    EXPECT_EQ("", again.written);
}

TEST(TimerClockTest, FailingClockQueryWarnsWithItsReason)
{
    clockAnswers("fail");
    const Start start = startService(nullptr);
    EXPECT_EQ(0, start.result);
    EXPECT_EQ(kMarker, start.err);
    EXPECT_EQ("zelk: clock_getres(CLOCK_MONOTONIC, ...) failed with "
              "Invalid argument!",
              start.written);
}

} // namespace
