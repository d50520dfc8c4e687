// Timer ids, settings and refusals. Every TEST runs in a fresh process, so
// the first create of a TEST is the first since load.
#include "zelk.h"

#include <cerrno>
#include <climits>
#include <ctime>

#include <gtest/gtest.h>

#include "time/timer_support.h"

namespace {

using zelk::test::CallbackLog;
using zelk::test::kMs;
using zelk::test::monotonicNow;
using zelk::test::recordCall;
using zelk::test::sleepNs;
using zelk::test::waitUntil;

constexpr int kMarker = 4711; // errno value a refusal must leave in place

void ignoreCall(int, void *) {}

TEST(TimerIdTest, HandedOutInTurnAndFreedIdsNotTakenAtOnce)
{
    EXPECT_EQ(0, zelk::test::threadsNamed("noname"));
    EXPECT_EQ(0, zelkTimerCreate(ignoreCall, nullptr));
    // The first create started the worker.
    EXPECT_EQ(1, zelk::test::threadsNamed("noname"));
    EXPECT_EQ(1, zelkTimerCreate(ignoreCall, nullptr));
    EXPECT_EQ(2, zelkTimerCreate(ignoreCall, nullptr));
    EXPECT_EQ(0, zelkTimerDelete(1));
    EXPECT_EQ(3, zelkTimerCreate(ignoreCall, nullptr));

    // Walk the cursor to the end of the table: after 199 the search starts
    // at 0 again, where 0 and 2 are still taken.
    for (int expected = 4; expected < 200; ++expected) {
        const int id = zelkTimerCreate(ignoreCall, nullptr);
        ASSERT_EQ(expected, id);
        ASSERT_EQ(0, zelkTimerDelete(id));
    }
    EXPECT_EQ(1, zelkTimerCreate(ignoreCall, nullptr));
    EXPECT_EQ(4, zelkTimerCreate(ignoreCall, nullptr));
    EXPECT_EQ(1, zelk::test::threadsNamed("noname"));
}

TEST(TimerIdTest, FullTableRefusesUntilAnIdIsFreed)
{
    int created = 0;
    while (created < 200 && zelkTimerCreate(ignoreCall, nullptr) == created)
        ++created;
    if (created < 200 && errno == EAGAIN)
        GTEST_SKIP() << "the system grants only " << created
                     << " kernel timers (user-mode emulation)";
    ASSERT_EQ(200, created);

    errno = kMarker;
    EXPECT_EQ(-1, zelkTimerCreate(ignoreCall, nullptr));
    EXPECT_EQ(kMarker, errno);
    EXPECT_EQ(0, zelkTimerDelete(5));
    EXPECT_EQ(5, zelkTimerCreate(ignoreCall, nullptr));
    errno = kMarker;
    EXPECT_EQ(-1, zelkTimerCreate(ignoreCall, nullptr));
    EXPECT_EQ(kMarker, errno);

    // The slot handed out last is the last one the next search reaches.
    EXPECT_EQ(0, zelkTimerDelete(5));
    EXPECT_EQ(5, zelkTimerCreate(ignoreCall, nullptr));
}

TEST(TimerIdTest, RefusalsLeaveErrnoAlone)
{
    zelkTimerSpec setting{kMs, 0};
    zelkTimerSpec out{7, 7};
    errno = kMarker;
    // Before the service runs, and without starting it.
    EXPECT_EQ(-1, zelkTimerCreate(nullptr, nullptr));
    EXPECT_EQ(-1, zelkTimerDelete(0));
    EXPECT_EQ(-1, zelkTimerSet(0, 0, &setting, nullptr));
    EXPECT_EQ(-1, zelkTimerGet(0, &out));

    const int id = zelkTimerCreate(ignoreCall, nullptr);
    ASSERT_EQ(0, id);
    for (const int bad : {200, -1, INT_MIN, 1}) {
        EXPECT_EQ(-1, zelkTimerDelete(bad)) << bad;
        EXPECT_EQ(-1, zelkTimerSet(bad, 0, &setting, &out)) << bad;
        EXPECT_EQ(-1, zelkTimerGet(bad, &out)) << bad;
    }
    EXPECT_EQ(-1, zelkTimerGet(id, nullptr));
    EXPECT_EQ(7u, out.value);
    EXPECT_EQ(7u, out.interval);
    EXPECT_EQ(0, zelkTimerDelete(id));
    EXPECT_EQ(-1, zelkTimerDelete(id));
    EXPECT_EQ(-1, zelkTimerSet(id, 0, nullptr, nullptr));
    EXPECT_EQ(kMarker, errno);
}

TEST(TimerSettingTest, OneShotFiresOnceAfterItsDelay)
{
    CallbackLog log;
    const int id = zelkTimerCreate(recordCall, &log);
    ASSERT_LE(0, id);
    zelkTimerSpec now{1, 1};
    ASSERT_EQ(0, zelkTimerGet(id, &now));
    EXPECT_EQ(0u, now.value);
    EXPECT_EQ(0u, now.interval);

    const zelkTimerSpec oneAndAHalf{1'500'000'000, 0};
    const zelkTime armedAt = monotonicNow();
    ASSERT_EQ(0, zelkTimerSet(id, 0, &oneAndAHalf, nullptr));
    ASSERT_EQ(0, zelkTimerGet(id, &now));
    EXPECT_GT(now.value, 500 * kMs);
    EXPECT_LE(now.value, 1'500'000'000u);
    EXPECT_EQ(0u, now.interval);

    ASSERT_TRUE(waitUntil([&] { return log.calls > 0; }, 10'000 * kMs));
    EXPECT_GE(log.firstCallAt - armedAt, 1'499 * kMs);
    EXPECT_EQ(id, log.lastId);
    sleepNs(300 * kMs);
    EXPECT_EQ(1, log.calls);
    ASSERT_EQ(0, zelkTimerGet(id, &now));
    EXPECT_EQ(0u, now.value);
}

TEST(TimerSettingTest, DisarmReturnsThePreviousSettingAndStopsCalls)
{
    CallbackLog log;
    const int id = zelkTimerCreate(recordCall, &log);
    ASSERT_LE(0, id);
    const zelkTimerSpec periodic{20 * kMs, 20 * kMs};
    ASSERT_EQ(0, zelkTimerSet(id, 0, &periodic, nullptr));
    ASSERT_TRUE(waitUntil([&] { return log.calls >= 3; }, 10'000 * kMs));

    // Re-arming hands back what it replaces.
    zelkTimerSpec previous{};
    const zelkTimerSpec slower{30 * kMs, 40 * kMs};
    ASSERT_EQ(0, zelkTimerSet(id, 0, &slower, &previous));
    EXPECT_GT(previous.value, 0u);
    EXPECT_LE(previous.value, 20 * kMs);
    EXPECT_EQ(20 * kMs, previous.interval);

    // No new setting: disarm, and still report the replaced one.
    ASSERT_EQ(0, zelkTimerSet(id, 0, nullptr, &previous));
    const int callsAtDisarm = log.calls;
    EXPECT_GT(previous.value, 0u);
    EXPECT_LE(previous.value, 40 * kMs);
    EXPECT_EQ(40 * kMs, previous.interval);
    sleepNs(150 * kMs);
    EXPECT_EQ(callsAtDisarm, log.calls);

    // A zero value disarms whatever the interval.
    ASSERT_EQ(0, zelkTimerSet(id, 0, &periodic, nullptr));
    const zelkTimerSpec zeroValue{0, kMs};
    ASSERT_EQ(0, zelkTimerSet(id, 0, &zeroValue, &previous));
    EXPECT_EQ(20 * kMs, previous.interval);
    const int callsAtZero = log.calls;
    sleepNs(150 * kMs);
    EXPECT_EQ(callsAtZero, log.calls);
    zelkTimerSpec now{1, 1};
    ASSERT_EQ(0, zelkTimerGet(id, &now));
    EXPECT_EQ(0u, now.value);
    EXPECT_EQ(0u, now.interval);
}

TEST(TimerSettingTest, AbsoluteTimesRunOnTheMonotonicClock)
{
    CallbackLog log;
    const int id = zelkTimerCreate(recordCall, &log);
    ASSERT_LE(0, id);

    // Bit 1 alone is ignored: the value is relative, far in the future.
    const zelkTimerSpec past{monotonicNow() - 1'000 * kMs, 0};
    ASSERT_EQ(0, zelkTimerSet(id, 2, &past, nullptr));
    sleepNs(100 * kMs);
    EXPECT_EQ(0, log.calls);

    // As an absolute time it has passed: the callback runs at once.
    const zelkTime armedAt = monotonicNow();
    ASSERT_EQ(0, zelkTimerSet(id, TIMER_ABSTIME | 2, &past, nullptr));
    ASSERT_TRUE(waitUntil([&] { return log.calls > 0; }, 10'000 * kMs));
    // A hang guard only, with room for a loaded or emulated machine.
    EXPECT_LT(log.firstCallAt - armedAt, 5'000 * kMs);

    // A future absolute time is reached, not passed early.
    const zelkTimerSpec soon{monotonicNow() + 200 * kMs, 0};
    ASSERT_EQ(0, zelkTimerSet(id, TIMER_ABSTIME, &soon, nullptr));
    ASSERT_TRUE(waitUntil([&] { return log.calls > 1; }, 10'000 * kMs));
    EXPECT_GE(log.lastCallAt, soon.value - kMs);
}

TEST(TimerSettingTest, SecondsBeyondTimeTAreRefusedNotCut)
{
    if (sizeof(time_t) > 4)
        GTEST_SKIP() << "every setting's seconds fit a 64-bit time_t";
    CallbackLog log;
    const int id = zelkTimerCreate(recordCall, &log);
    ASSERT_LE(0, id);
    const zelkTimerSpec armed{60'000 * kMs, 0};
    ASSERT_EQ(0, zelkTimerSet(id, 0, &armed, nullptr));

    // 2^31 s would be cut to a negative or a wrapped time.
    const zelkTime tooFar = (zelkTime{1} << 31) * 1'000'000'000u;
    const zelkTimerSpec badValue{tooFar, 0};
    const zelkTimerSpec badInterval{kMs, tooFar};
    zelkTimerSpec previous{7, 7};
    errno = kMarker;
    EXPECT_EQ(-1, zelkTimerSet(id, 0, &badValue, &previous));
    EXPECT_EQ(-1, zelkTimerSet(id, 0, &badInterval, &previous));
    EXPECT_EQ(kMarker, errno);
    EXPECT_EQ(7u, previous.value);

    // The timer still holds its old setting.
    zelkTimerSpec now{};
    ASSERT_EQ(0, zelkTimerGet(id, &now));
    EXPECT_GT(now.value, 50'000 * kMs);
    sleepNs(50 * kMs);
    EXPECT_EQ(0, log.calls);
    zelkTimerDelete(id);
}

} // namespace
