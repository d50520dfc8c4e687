#include "zelk.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// A thread blocked in zelkEventWait for a mask, and what it got.
class Waiter {
public:
    Waiter(zelkEvent &event, uint32_t mask) : mask_(mask)
    {
        done_ = std::async(std::launch::async, [this, &event] {
            const int rc = zelkEventWait(&event, &mask_);
            returned_ = true;
            return rc;
        });
    }
    // true when the wait has returned within the time given.
    bool returnedWithin(std::chrono::milliseconds limit)
    {
        return done_.wait_for(limit) == std::future_status::ready;
    }
    bool returned() const { return returned_; }
    int result() { return done_.get(); }
    uint32_t mask() const { return mask_; }

private:
    uint32_t mask_;
    std::atomic<bool> returned_{false};
    std::future<int> done_;
};

uint32_t bitsOf(zelkEvent &event)
{
    pthread_mutex_lock(&event.mutex);
    const uint32_t bits = event.bits;
    pthread_mutex_unlock(&event.mutex);
    return bits;
}

TEST(EventFlagsTest, TakesTheMatchingBitsAndKeepsTheRest)
{
    zelkEvent event;
    memset(&event, 0x5A, sizeof event);
    ASSERT_EQ(0, zelkEventInit(&event));
    EXPECT_EQ(0u, event.bits);

    EXPECT_EQ(0, zelkEventSignal(&event, 0x5));
    uint32_t mask = 0x4;
    ASSERT_EQ(0, zelkEventWait(&event, &mask));
    EXPECT_EQ(0x4u, mask);
    EXPECT_EQ(0x1u, event.bits);

    EXPECT_EQ(0, zelkEventSignal(&event, 0x6)); // 0x7 now
    mask = 0x3;
    ASSERT_EQ(0, zelkEventWait(&event, &mask));
    EXPECT_EQ(0x3u, mask) << "every set bit of the mask is taken at once";
    EXPECT_EQ(0x4u, event.bits);

    // Repeated signals of one bit leave it set once.
    EXPECT_EQ(0, zelkEventSignal(&event, 0x80000000u));
    EXPECT_EQ(0, zelkEventSignal(&event, 0x80000000u));
    mask = 0xFFFFFFFFu;
    ASSERT_EQ(0, zelkEventWait(&event, &mask));
    EXPECT_EQ(0x80000004u, mask);
    EXPECT_EQ(0u, event.bits);

    // A mask of 0 could never be satisfied: refused, like null objects.
    mask = 0;
    errno = 0;
    EXPECT_EQ(-1, zelkEventWait(&event, &mask));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, zelkEventWait(&event, nullptr));
    EXPECT_EQ(-1, zelkEventWait(nullptr, &mask));
    EXPECT_EQ(-1, zelkEventSignal(nullptr, 1));
    EXPECT_EQ(-1, zelkEventInit(nullptr));
    EXPECT_EQ(-1, zelkEventDestroy(nullptr));

    EXPECT_EQ(0, zelkEventDestroy(&event));
}

TEST(EventFlagsTest, WaitSleepsUntilABitOfItsMaskArrives)
{
    zelkEvent event;
    ASSERT_EQ(0, zelkEventInit(&event));
    Waiter waiter(event, 0x2);
    EXPECT_FALSE(waiter.returnedWithin(100ms));

    // Neither other bits nor an empty signal end the wait; the other bit
    // stays set for somebody else.
    EXPECT_EQ(0, zelkEventSignal(&event, 0x1));
    EXPECT_EQ(0, zelkEventSignal(&event, 0));
    EXPECT_FALSE(waiter.returnedWithin(100ms));
    EXPECT_EQ(0x1u, bitsOf(event));

    EXPECT_EQ(0, zelkEventSignal(&event, 0x2));
    ASSERT_TRUE(waiter.returnedWithin(10s)); // hang guard
    EXPECT_EQ(0, waiter.result());
    EXPECT_EQ(0x2u, waiter.mask());
    EXPECT_EQ(0x1u, bitsOf(event));
    EXPECT_EQ(0, zelkEventDestroy(&event));
}

TEST(EventFlagsTest, EveryWaiterWhoseBitsArriveWakesUp)
{
    zelkEvent event;
    ASSERT_EQ(0, zelkEventInit(&event));
    // Started in this order, the first waiter is the one a signal wakes.
    Waiter first(event, 0x1);
    std::this_thread::sleep_for(50ms);
    Waiter second(event, 0x2);
    std::this_thread::sleep_for(50ms);
    Waiter third(event, 0x4);
    std::this_thread::sleep_for(50ms);

    EXPECT_EQ(0, zelkEventSignal(&event, 0x2));
    ASSERT_TRUE(second.returnedWithin(10s)) << "woken while its bit is set";
    EXPECT_EQ(0x2u, second.mask());
    EXPECT_FALSE(first.returned());
    EXPECT_FALSE(third.returned());

    EXPECT_EQ(0, zelkEventSignal(&event, 0x5)); // one signal, two waiters
    ASSERT_TRUE(first.returnedWithin(10s));
    ASSERT_TRUE(third.returnedWithin(10s));
    EXPECT_EQ(0x1u, first.mask());
    EXPECT_EQ(0x4u, third.mask());
    EXPECT_EQ(0u, bitsOf(event));
    EXPECT_EQ(0, zelkEventDestroy(&event));
}

void *waitForever(void *arg)
{
    uint32_t mask = 0x1;
    zelkEventWait(static_cast<zelkEvent *>(arg), &mask);
    return nullptr;
}

TEST(EventFlagsTest, CancelledWaiterLeavesTheEventUsable)
{
    zelkEvent event;
    ASSERT_EQ(0, zelkEventInit(&event));
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, nullptr, waitForever, &event));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(0, pthread_cancel(thread));
    void *result = nullptr;
    ASSERT_EQ(0, pthread_join(thread, &result));
    EXPECT_EQ(PTHREAD_CANCELED, result);

    ASSERT_EQ(0, pthread_mutex_trylock(&event.mutex)) << "left locked";
    pthread_mutex_unlock(&event.mutex);
    EXPECT_EQ(0, zelkEventSignal(&event, 0x1));
    uint32_t mask = 0x1;
    EXPECT_EQ(0, zelkEventWait(&event, &mask));
    EXPECT_EQ(0, zelkEventDestroy(&event));
}

} // namespace
