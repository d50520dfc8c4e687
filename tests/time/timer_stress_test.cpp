// Many threads creating, setting, reading and deleting timers while the
// callbacks create, re-arm and delete timers too. Checks that nothing
// deadlocks and that no callback runs after its timer's delete returned.
#include "zelk.h"

#include <atomic>
#include <deque>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "time/timer_support.h"

namespace {

using zelk::test::kMs;
using zelk::test::monotonicNow;

std::atomic<int> lateCalls{0};   // callbacks running when their delete returned
std::atomic<int> childTimers{0}; // created by callbacks, not yet deleted
std::atomic<long> totalCalls{0};

// One create: the record outlives its timer (kept until the test ends).
struct TimerRecord {
    std::atomic<bool> deleted{false};
    std::atomic<int> calls{0};
};

void childCallback(int id, void *)
{
    ++totalCalls;
    if (zelkTimerDelete(id) == 0) // one-shot: ends itself
        --childTimers;
}

void stressCallback(int id, void *userArg)
{
    auto *record = static_cast<TimerRecord *>(userArg);
    ++totalCalls;
    // Stay a little, so that a delete which does not wait for the callback
    // would be seen returning while it runs.
    const zelkTime busyUntil = monotonicNow() + 20'000;
    while (monotonicNow() < busyUntil) {
    }
    if (record->deleted)
        ++lateCalls;
    const int n = ++record->calls;
    if (n % 3 == 0) { // re-arm itself, sometimes slower
        const zelkTimerSpec again{(1 + n % 4) * kMs, (1 + n % 2) * kMs};
        zelkTimerSet(id, 0, &again, nullptr);
    }
    if (n % 5 == 0 && childTimers < 8) {
        const int child = zelkTimerCreate(childCallback, nullptr);
        if (child >= 0) {
            ++childTimers;
            const zelkTimerSpec once{kMs, 0};
            zelkTimerSet(child, 0, &once, nullptr);
        }
    }
}

void churn(unsigned seed, zelkTime until, std::deque<TimerRecord> &records)
{
    struct Live {
        int id;
        TimerRecord *record;
    };
    std::vector<Live> live;
    while (monotonicNow() < until) {
        seed = seed * 1103515245u + 12345u;
        const unsigned pick = (seed >> 16) % 8;
        if (live.size() < 6 && pick < 3) {
            TimerRecord &record = records.emplace_back();
            const int id = zelkTimerCreate(stressCallback, &record);
            if (id >= 0)
                live.push_back({id, &record});
        } else if (!live.empty() && pick < 6) {
            const Live &timer = live[seed % live.size()];
            const zelkTimerSpec setting{(1 + pick) * kMs / 2, pick * kMs / 3};
            zelkTimerSpec previous;
            EXPECT_EQ(0, zelkTimerSet(timer.id, 0, &setting, &previous));
            EXPECT_EQ(0, zelkTimerGet(timer.id, &previous));
        } else if (!live.empty()) {
            const size_t at = seed % live.size();
            EXPECT_EQ(0, zelkTimerDelete(live[at].id));
            live[at].record->deleted = true;
            live.erase(live.begin() + static_cast<long>(at));
        }
    }
    for (const Live &timer : live) {
        EXPECT_EQ(0, zelkTimerDelete(timer.id));
        timer.record->deleted = true;
    }
}

TEST(TimerStressTest, ConcurrentOperationsAndCallbacks)
{
    constexpr int kThreads = 4;
    const zelkTime until = monotonicNow() + 2'000 * kMs;
    std::vector<std::deque<TimerRecord>> records(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(churn, 17u + t, until, std::ref(records[t]));
    for (std::thread &thread : threads)
        thread.join();

    // Timers made by callbacks delete themselves after one expiry.
    EXPECT_TRUE(
        zelk::test::waitUntil([] { return childTimers == 0; }, 10'000 * kMs));
    zelk::test::sleepNs(50 * kMs);
    EXPECT_EQ(0, lateCalls);
    EXPECT_GT(totalCalls, 100);
    for (int id = 0; id < 200; ++id)
        EXPECT_EQ(-1, zelkTimerDelete(id)) << "timer " << id << " left over";
}

} // namespace
