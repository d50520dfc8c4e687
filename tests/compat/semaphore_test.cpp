#include "zelk.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/blocked.h"

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

// Signalling: one task takes and blocks until another task gives. A give
// makes the semaphore available whoever gives, and gives do not add up.
TEST(SemaphoreTest, TakeBlocksUntilAnyTaskGives)
{
    errno = 4321;
    EXPECT_EQ(-1, sysCalSemTake(nullptr));
    EXPECT_EQ(-1, sysCalSemGive(nullptr));
    EXPECT_EQ(-1, sysCalSemDelete(nullptr));

    sysCalSem *sem = sysCalSemBCreate();
    ASSERT_NE(nullptr, sem);
    EXPECT_EQ(0, sysCalSemGive(sem)); // available already: stays so
    EXPECT_EQ(0, sysCalSemGive(sem));
    EXPECT_EQ(0, sysCalSemTake(sem)); // one give's worth, not two

    std::atomic<int> signalled{0};
    std::atomic<int> tid{0};
    std::thread waiter([&] {
        tid = gettid();
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(0, sysCalSemTake(sem)); // the holder blocks too
            ++signalled;
        }
    });
    EXPECT_TRUE(zelk::test::awaitBlocked({&tid}));
    EXPECT_EQ(0, signalled.load());
    EXPECT_EQ(-1, sysCalSemDelete(sem)); // a task is blocked in it
    for (int i = 1; i <= 2; ++i) {
        EXPECT_EQ(0, sysCalSemGive(sem));
        while (signalled.load() < i)
            std::this_thread::sleep_for(1ms);
    }
    waiter.join();
    EXPECT_EQ(4321, errno);
    EXPECT_EQ(0, sysCalSemDelete(sem)); // taken, but nobody waits
}

} // namespace
