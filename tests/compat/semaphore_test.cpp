#include "zelk.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(SemaphoreTest, TakeBlocksWhileAnotherTaskHoldsIt)
{
    sysCalSem *sem = sysCalSemBCreate();
    ASSERT_NE(nullptr, sem);
    EXPECT_EQ(0, sysCalSemTake(sem)); // new: available

    std::atomic<bool> taken{false};
    std::thread other([&] {
        EXPECT_EQ(0, sysCalSemTake(sem));
        taken = true;
        EXPECT_EQ(0, sysCalSemGive(sem));
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(taken.load());
    EXPECT_EQ(0, sysCalSemGive(sem));
    other.join();
    EXPECT_TRUE(taken.load());

    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(0, sysCalSemTake(sem));
        ASSERT_EQ(0, sysCalSemGive(sem));
    }
    EXPECT_EQ(0, sysCalSemDelete(sem));
}

// Uses outside the semaphore's contract fail without harm instead of
// blocking forever or corrupting the semaphore; no call touches errno.
TEST(SemaphoreTest, MisuseFailsAndLeavesTheSemaphoreIntact)
{
    errno = 4321;
    EXPECT_EQ(-1, sysCalSemTake(nullptr));
    EXPECT_EQ(-1, sysCalSemGive(nullptr));
    EXPECT_EQ(-1, sysCalSemDelete(nullptr));

    sysCalSem *sem = sysCalSemBCreate();
    ASSERT_NE(nullptr, sem);
    EXPECT_EQ(-1, sysCalSemGive(sem)); // available: nothing to give
    EXPECT_EQ(0, sysCalSemTake(sem));
    EXPECT_EQ(-1, sysCalSemTake(sem)); // held by this task already
    EXPECT_EQ(-1, sysCalSemDelete(sem));
    std::thread([&] { EXPECT_EQ(-1, sysCalSemGive(sem)); }).join();
    std::thread([&] { EXPECT_EQ(-1, sysCalSemDelete(sem)); }).join();
    EXPECT_EQ(0, sysCalSemGive(sem)); // still held by this task until now
    EXPECT_EQ(4321, errno);

    std::thread([&] {
        EXPECT_EQ(0, sysCalSemTake(sem)); // available again
        EXPECT_EQ(0, sysCalSemGive(sem));
    }).join();
    EXPECT_EQ(0, sysCalSemDelete(sem));
}

} // namespace
