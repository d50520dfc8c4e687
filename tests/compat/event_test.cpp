#include "zelk.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include "support/blocked.h"

namespace {

using namespace std::chrono_literals;

// Long enough for a started task to be blocked in its wait.
void settle()
{
    std::this_thread::sleep_for(200ms);
}

// Posts until done is set (a hang guard for tests that expect one post to
// do), and returns how many posts that took.
int postUntil(sysCalEvent *ev, const std::atomic<int> &done, int target)
{
    int posts = 0;
    for (; done.load() < target && posts < 20; ++posts) {
        EXPECT_EQ(0, sysCalEventPost(ev));
        // The released tasks get up to a second to run before the next
        // post: on a slow (emulated) machine waking three takes a while.
        for (int ms = 0; ms < 1000 && done.load() < target; ++ms)
            std::this_thread::sleep_for(1ms);
    }
    return posts;
}

TEST(EventTest, CreateDeleteAndNullHandles)
{
    sysCalEvent *ev = sysCalEventCreate();
    ASSERT_NE(nullptr, ev);
    EXPECT_EQ(0, sysCalEventDelete(ev));

    errno = 1234;
    EXPECT_EQ(-1, sysCalEventPost(nullptr));
    EXPECT_EQ(-1, sysCalEventWait(nullptr));
    EXPECT_EQ(-1, sysCalEventDelete(nullptr));
    EXPECT_EQ(1234, errno);
}

TEST(EventTest, APostReleasesEveryCurrentWaiterAndIsNotRemembered)
{
    sysCalEvent *ev = sysCalEventCreate();
    ASSERT_NE(nullptr, ev);
    EXPECT_EQ(0, sysCalEventPost(ev)); // nobody waits: forgotten

    std::atomic<int> released{0};
    std::atomic<int> tids[3] = {};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&, i] {
            tids[i] = gettid();
            EXPECT_EQ(0, sysCalEventWait(ev));
            ++released;
        });
    EXPECT_TRUE(zelk::test::awaitBlocked({&tids[0], &tids[1], &tids[2]}));
    EXPECT_EQ(0, released.load()); // the earlier post did not count

    // One post for all three.
    EXPECT_EQ(1, postUntil(ev, released, 3));
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(3, released.load());
    EXPECT_EQ(0, sysCalEventDelete(ev));
}

TEST(EventTest, DeleteIsRefusedWhileATaskWaits)
{
    sysCalEvent *ev = sysCalEventCreate();
    ASSERT_NE(nullptr, ev);
    std::atomic<int> released{0};
    std::atomic<int> tid{0};
    std::thread waiter([&] {
        tid = gettid();
        EXPECT_EQ(0, sysCalEventWait(ev));
        ++released;
    });
    EXPECT_TRUE(zelk::test::awaitBlocked({&tid}));
    EXPECT_EQ(-1, sysCalEventDelete(ev));
    postUntil(ev, released, 1); // the event still works
    waiter.join();
    EXPECT_EQ(0, sysCalEventDelete(ev));
}

// Released waiters may still be leaving when the post returns: a delete
// right after the post waits for them instead of failing.
TEST(EventTest, DeleteRightAfterAPostSucceeds)
{
    for (int round = 0; round < 30; ++round) {
        sysCalEvent *ev = sysCalEventCreate();
        ASSERT_NE(nullptr, ev);
        std::atomic<int> ready{0};
        std::atomic<int> released{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.emplace_back([&] {
                ++ready;
                EXPECT_EQ(0, sysCalEventWait(ev));
                ++released;
            });
        while (ready.load() < 3)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(20ms); // into their waits
        ASSERT_EQ(0, sysCalEventPost(ev));
        const int deleted = sysCalEventDelete(ev);
        EXPECT_EQ(0, deleted) << "round " << round;
        if (deleted != 0) { // a waiter was late: release it, then retry
            EXPECT_LT(0, postUntil(ev, released, 3));
        }
        for (auto &t : waiters)
            t.join();
        if (deleted != 0) {
            EXPECT_EQ(0, sysCalEventDelete(ev));
        }
        EXPECT_EQ(3, released.load());
    }
}

void *waitOnce(void *ev)
{
    sysCalEventWait(static_cast<sysCalEvent *>(ev));
    return nullptr;
}

TEST(EventTest, ACancelledWaiterLeavesTheEventUsable)
{
    sysCalEvent *ev = sysCalEventCreate();
    ASSERT_NE(nullptr, ev);
    pthread_t waiter;
    ASSERT_EQ(0, pthread_create(&waiter, nullptr, waitOnce, ev));
    settle();
    ASSERT_EQ(0, pthread_cancel(waiter));
    void *result = nullptr;
    ASSERT_EQ(0, pthread_join(waiter, &result));
    EXPECT_EQ(PTHREAD_CANCELED, result);

    // Unlocked and with no waiter left behind.
    EXPECT_EQ(0, sysCalEventPost(ev));
    EXPECT_EQ(0, sysCalEventDelete(ev));
}

} // namespace
