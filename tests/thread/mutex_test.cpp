#include "zelk.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

namespace {

// ThreadSanitizer reports misuse of a mutex (relocking, unlocking by another
// thread, destroying it locked) before the threads library can refuse it, so
// the refusals are checked without it.
#if defined(__SANITIZE_THREAD__)
constexpr bool kMisuseRefused = false;
#else
constexpr bool kMisuseRefused = true;
#endif

// Runs fn on another thread and returns its result.
template <typename Fn> int onOtherThread(Fn fn)
{
    int result = 0;
    std::thread other([&] { result = fn(); });
    other.join();
    return result;
}

TEST(MutexTest, RefusesUnknownKindsAndNullObjects)
{
    pthread_mutex_t mutex;
    memset(&mutex, 0xAB, sizeof mutex);
    for (const int kind : {3, -1}) {
        errno = 0;
        EXPECT_EQ(-1, zelkMutexInitX(&mutex, kind)) << kind;
        EXPECT_EQ(EINVAL, errno) << kind;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(&mutex);
    for (size_t i = 0; i < sizeof mutex; ++i)
        ASSERT_EQ(0xAB, bytes[i]) << "the mutex was touched at byte " << i;

    errno = 0;
    EXPECT_EQ(-1, zelkMutexLock(nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, zelkCondWait(nullptr, &mutex));
}

// Kind 0 and zelkMutexInit give the default mutex, which its owner cannot
// take twice; kind 1 can, and is free again after as many unlocks.
TEST(MutexTest, KindsDifferOnRelockingByTheOwner)
{
    for (const int kind : {-1, 0}) {
        pthread_mutex_t mutex;
        ASSERT_EQ(0, kind < 0 ? zelkMutexInit(&mutex)
                              : zelkMutexInitX(&mutex, kind));
        ASSERT_EQ(0, zelkMutexLock(&mutex));
        EXPECT_EQ(EBUSY, pthread_mutex_trylock(&mutex));
        ASSERT_EQ(0, zelkMutexUnlock(&mutex));
        EXPECT_EQ(0, zelkMutexDestroy(&mutex));
    }

    pthread_mutex_t mutex;
    ASSERT_EQ(0, zelkMutexInitX(&mutex, 1));
    ASSERT_EQ(0, zelkMutexLock(&mutex));
    ASSERT_EQ(0, zelkMutexLock(&mutex));
    ASSERT_EQ(0, zelkMutexUnlock(&mutex));
    EXPECT_EQ(EBUSY,
              onOtherThread([&] { return pthread_mutex_trylock(&mutex); }));
    ASSERT_EQ(0, zelkMutexUnlock(&mutex));
    EXPECT_EQ(0, onOtherThread([&] {
                  const int rc = pthread_mutex_trylock(&mutex);
                  return rc != 0 ? rc : pthread_mutex_unlock(&mutex);
              }));
    EXPECT_EQ(0, zelkMutexDestroy(&mutex));
}

TEST(MutexTest, ErrorCheckingMutexReportsMisuseByNumber)
{
    if (!kMisuseRefused)
        GTEST_SKIP() << "ThreadSanitizer stops at the misuse itself";
    pthread_mutex_t mutex;
    ASSERT_EQ(0, zelkMutexInitX(&mutex, 2));
    errno = 77;
    ASSERT_EQ(0, zelkMutexLock(&mutex));
    EXPECT_EQ(77, errno) << "errno is not written on success";

    errno = 0;
    EXPECT_EQ(-1, zelkMutexLock(&mutex));
    EXPECT_EQ(EDEADLK, errno);

    int otherErrno = 0;
    EXPECT_EQ(-1, onOtherThread([&] {
        const int rc = zelkMutexUnlock(&mutex);
        otherErrno = errno;
        return rc;
    }));
    EXPECT_EQ(EPERM, otherErrno);

    errno = 0;
    EXPECT_EQ(-1, zelkMutexDestroy(&mutex));
    EXPECT_EQ(EBUSY, errno);

    ASSERT_EQ(0, zelkMutexUnlock(&mutex));
    EXPECT_EQ(0, zelkMutexDestroy(&mutex));
}

TEST(CondTest, WaitReturnsHoldingTheMutexAfterASignal)
{
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    ASSERT_EQ(0, zelkMutexInitX(&mutex, 2)); // unlock proves ownership
    ASSERT_EQ(0, zelkCondInit(&cond));

    // Without a waiter a signal does nothing; waiting without the mutex is
    // refused by an error-checking mutex.
    EXPECT_EQ(0, zelkCondSignal(&cond));
    if (kMisuseRefused) {
        errno = 0;
        EXPECT_EQ(-1, zelkCondWait(&cond, &mutex));
        EXPECT_EQ(EPERM, errno);
    }

    bool ready = false;
    int waitResult = -1, unlockResult = -1;
    std::thread waiter([&] {
        zelkMutexLock(&mutex);
        waitResult = 0;
        while (!ready && waitResult == 0)
            waitResult = zelkCondWait(&cond, &mutex);
        unlockResult = zelkMutexUnlock(&mutex);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(0, zelkMutexLock(&mutex));
    ready = true;
    EXPECT_EQ(0, zelkCondSignal(&cond));
    ASSERT_EQ(0, zelkMutexUnlock(&mutex));
    waiter.join();
    EXPECT_EQ(0, waitResult);
    EXPECT_EQ(0, unlockResult);

    EXPECT_EQ(0, zelkCondDestroy(&cond));
    EXPECT_EQ(0, zelkMutexDestroy(&mutex));
}

} // namespace
