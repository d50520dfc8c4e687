// The worker thread and its callbacks: where and how callbacks run, how they
// meet deletes and re-arms, merged overruns, foreign SIGRTMIN, and starting
// the service.
#include "zelk.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/child.h"
#include "time/timer_support.h"

namespace {

using zelk::test::CallbackLog;
using zelk::test::kMs;
using zelk::test::monotonicNow;
using zelk::test::recordCall;
using zelk::test::sleepNs;
using zelk::test::waitUntil;

constexpr zelkTime kHangGuard = 10'000 * kMs;

int armPeriodic(CallbackLog &log, zelkTime period)
{
    const int id = zelkTimerCreate(recordCall, &log);
    const zelkTimerSpec setting{period, period};
    if (id < 0 || zelkTimerSet(id, 0, &setting, nullptr) != 0)
        ADD_FAILURE() << "cannot arm a timer: " << strerror(errno);
    return id;
}

TEST(TimerCallbackTest, RunsOnTheOneWorkerWithIdAndUserArg)
{
    CallbackLog first;
    CallbackLog second;
    const int idA = armPeriodic(first, 5 * kMs);
    const int idB = armPeriodic(second, 7 * kMs);
    ASSERT_TRUE(waitUntil([&] { return first.calls >= 3 && second.calls >= 3; },
                          kHangGuard));
    EXPECT_EQ(idA, first.lastId);
    EXPECT_EQ(idB, second.lastId);
    EXPECT_NE(gettid(), first.lastTid);
    EXPECT_EQ(first.lastTid.load(), second.lastTid.load());
    EXPECT_EQ("noname", zelk::test::threadName(first.lastTid));

    // A second start finds the worker running: no new thread.
    const zelkThreadAttr ignored{5, 0, 0, nullptr};
    errno = 0;
    EXPECT_EQ(0, zelkTimerInit(0, &ignored));
    EXPECT_EQ(0, errno);
    EXPECT_EQ(1, zelk::test::threadsNamed("noname"));
    zelkTimerDelete(idA);
    zelkTimerDelete(idB);
}

TEST(TimerCallbackTest, DeleteAndDisarmWaitForTheRunningCallback)
{
    std::atomic<bool> inside{false};
    std::atomic<zelkTime> leftAt{0};
    for (const bool viaDelete : {true, false}) {
        CallbackLog log;
        log.action = [&](int) {
            inside = true;
            sleepNs(200 * kMs);
            leftAt = monotonicNow();
            inside = false;
        };
        const int id = armPeriodic(log, 10 * kMs);
        ASSERT_TRUE(waitUntil([&] { return inside.load(); }, kHangGuard));
        if (viaDelete)
            ASSERT_EQ(0, zelkTimerDelete(id));
        else
            ASSERT_EQ(0, zelkTimerSet(id, 0, nullptr, nullptr));
        const zelkTime returnedAt = monotonicNow();
        EXPECT_FALSE(inside);
        EXPECT_GE(returnedAt, leftAt.load());
        const int calls = log.calls;
        sleepNs(100 * kMs);
        EXPECT_EQ(calls, log.calls) << (viaDelete ? "delete" : "disarm");
        if (!viaDelete)
            zelkTimerDelete(id);
    }
}

TEST(TimerCallbackTest, ExpiriesQueuedBeforeADeleteOrDisarmCallNothing)
{
    // One callback holds the worker while two other timers expire: their
    // signals wait in the queue, then one timer is deleted, one disarmed.
    CallbackLog blocker;
    std::atomic<bool> holding{false};
    std::atomic<bool> letGo{false};
    blocker.action = [&](int) {
        holding = true;
        waitUntil([&] { return letGo.load(); }, kHangGuard);
    };
    CallbackLog deleted;
    CallbackLog disarmed;
    const int idDeleted = zelkTimerCreate(recordCall, &deleted);
    const int idDisarmed = zelkTimerCreate(recordCall, &disarmed);
    const int idBlocker = zelkTimerCreate(recordCall, &blocker);
    const zelkTimerSpec now{1, 0};
    ASSERT_EQ(0, zelkTimerSet(idBlocker, 0, &now, nullptr));
    ASSERT_TRUE(waitUntil([&] { return holding.load(); }, kHangGuard));
    ASSERT_EQ(0, zelkTimerSet(idDeleted, 0, &now, nullptr));
    ASSERT_EQ(0, zelkTimerSet(idDisarmed, 0, &now, nullptr));
    sleepNs(20 * kMs); // both have expired by now
    const int deleteResult = zelkTimerDelete(idDeleted);
    const int disarmResult = zelkTimerSet(idDisarmed, 0, nullptr, nullptr);
    letGo = true; // only now: the queued expiries must still be queued
    ASSERT_EQ(0, deleteResult);
    ASSERT_EQ(0, disarmResult);
    ASSERT_TRUE(waitUntil([&] { return blocker.calls > 0; }, kHangGuard));
    sleepNs(100 * kMs);
    EXPECT_EQ(0, deleted.calls);
    EXPECT_EQ(0, disarmed.calls);
    zelkTimerDelete(idDisarmed);
    zelkTimerDelete(idBlocker);
}

TEST(TimerCallbackTest, CallbackMayDeleteReArmAndCreateTimers)
{
    std::atomic<int> results[3] = {99, 99, 99};
    CallbackLog created;
    CallbackLog selfDelete;
    selfDelete.action = [&](int id) { results[0] = zelkTimerDelete(id); };
    CallbackLog selfRearm;
    selfRearm.action = [&](int id) {
        if (selfRearm.calls == 0) {
            const zelkTimerSpec again{10 * kMs, 0};
            results[1] = zelkTimerSet(id, 0, &again, nullptr);
            const int other = zelkTimerCreate(recordCall, &created);
            results[2] = zelkTimerSet(other, 0, &again, nullptr);
        }
    };
    const zelkTimerSpec periodic{5 * kMs, 5 * kMs};
    const int idDelete = zelkTimerCreate(recordCall, &selfDelete);
    ASSERT_EQ(0, zelkTimerSet(idDelete, 0, &periodic, nullptr));
    const zelkTimerSpec once{5 * kMs, 0};
    const int idRearm = zelkTimerCreate(recordCall, &selfRearm);
    ASSERT_EQ(0, zelkTimerSet(idRearm, 0, &once, nullptr));

    ASSERT_TRUE(
        waitUntil([&] { return selfRearm.calls >= 2 && created.calls >= 1; },
                  kHangGuard));
    sleepNs(50 * kMs);
    EXPECT_EQ(1, selfDelete.calls);
    EXPECT_EQ(0, results[0]);
    EXPECT_EQ(-1, zelkTimerDelete(idDelete));
    EXPECT_EQ(2, selfRearm.calls);
    EXPECT_EQ(0, results[1]);
    EXPECT_EQ(0, results[2]);
    EXPECT_EQ(1, created.calls);
    zelkTimerDelete(idRearm);
}

TEST(TimerCallbackTest, SlowCallbackGetsMergedExpiriesNotABurst)
{
    std::atomic<bool> slow{true};
    CallbackLog log;
    log.action = [&](int) {
        if (slow)
            sleepNs(30 * kMs);
    };
    const zelkTime armedAt = monotonicNow();
    const int id = armPeriodic(log, 10 * kMs);
    sleepNs(600 * kMs);
    slow = false;
    const zelkTime fastAt = monotonicNow();
    const int slowCalls = log.calls;
    // About one call per three intervals, never one per expiry: each call
    // takes 30 ms, so no more fit in the time that passed.
    EXPECT_GE(slowCalls, 5);
    EXPECT_LE(slowCalls, static_cast<int>((fastAt - armedAt) / (30 * kMs)) + 2);

    // Once the callback is fast again, calls come at the timer's pace: the
    // expiries merged before are not made up for.
    sleepNs(35 * kMs);
    const zelkTime elapsed = monotonicNow() - fastAt;
    EXPECT_LE(log.calls - slowCalls,
              static_cast<int>(elapsed / (10 * kMs)) + 3);
    zelkTimerDelete(id);
}

// Sends SIGRTMIN with the given code and value, to one thread (tid > 0) or
// to the process.
int sendSigrtmin(int tid, int code, void *value)
{
    siginfo_t info;
    memset(&info, 0, sizeof info);
    info.si_signo = SIGRTMIN;
    info.si_code = code;
    info.si_pid = getpid();
    info.si_uid = getuid();
    info.si_value.sival_ptr = value;
    if (tid > 0)
        return static_cast<int>(
            syscall(SYS_rt_tgsigqueueinfo, getpid(), tid, SIGRTMIN, &info));
    return static_cast<int>(
        syscall(SYS_rt_sigqueueinfo, getpid(), SIGRTMIN, &info));
}

TEST(TimerSignalTest, ForeignSigrtminIsDropped)
{
    EXPECT_EQ(
        0, zelk::test::inChild([] {
            // As an application must: block SIGRTMIN before any other thread
            // exists, so that no thread but the worker can take it.
            sigset_t rtmin;
            sigemptyset(&rtmin);
            sigaddset(&rtmin, SIGRTMIN);
            ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &rtmin, nullptr));

            CallbackLog log;
            const int id = zelkTimerCreate(recordCall, &log);
            ASSERT_LE(0, id);
            const zelkTimerSpec later{3'600'000 * kMs, 0}; // armed, not firing
            ASSERT_EQ(0, zelkTimerSet(id, 0, &later, nullptr));
            int workerTid = 0;
            for (const int tid : zelk::test::processThreads())
                if (zelk::test::threadName(tid) == "noname")
                    workerTid = tid;
            ASSERT_NE(0, workerTid);

            const std::vector<void *> values = zelk::test::kernelTimerValues();
            void *slot = values.size() == 1 ? values[0] : nullptr;
            CallbackLog outside;
            char *inside = static_cast<char *>(slot);

            for (const int target : {workerTid, 0}) {
                ASSERT_EQ(0, target > 0 ? syscall(SYS_tgkill, getpid(), target,
                                                  SIGRTMIN)
                                        : kill(getpid(), SIGRTMIN));
                ASSERT_EQ(0, sendSigrtmin(target, SI_QUEUE, slot));
                ASSERT_EQ(0, sendSigrtmin(target, SI_TIMER, nullptr));
                ASSERT_EQ(0, sendSigrtmin(target, SI_TIMER, &outside));
                if (slot == nullptr)
                    continue;
                ASSERT_EQ(0, sendSigrtmin(target, SI_TIMER, inside + 1));
                ASSERT_EQ(0, sendSigrtmin(target, SI_TIMER, inside - 1));
                // An exact slot address with the timer code passes: a
                // control that also shows every signal before it was taken.
                const int before = log.calls;
                ASSERT_EQ(0, sendSigrtmin(target, SI_TIMER, slot));
                ASSERT_TRUE(
                    waitUntil([&] { return log.calls > before; }, kHangGuard));
                EXPECT_EQ(before + 1, log.calls);
            }
            if (slot == nullptr) {
                ADD_FAILURE() << "the kernel does not list the timers' values";
                sleepNs(200 * kMs);
            }
            EXPECT_EQ(0, outside.calls);
            if (slot == nullptr)
                return;

            // An expiry that reaches the worker after its timer was disarmed or
            // deleted calls nothing (a kernel may deliver one queued earlier).
            CallbackLog control;
            const int idControl = zelkTimerCreate(recordCall, &control);
            ASSERT_EQ(0, zelkTimerSet(idControl, 0, &later, nullptr));
            void *controlSlot = nullptr;
            for (void *value : zelk::test::kernelTimerValues())
                if (value != slot)
                    controlSlot = value;
            const int calls = log.calls;
            for (const bool viaDelete : {false, true}) {
                if (viaDelete)
                    ASSERT_EQ(0, zelkTimerDelete(id));
                else
                    ASSERT_EQ(0, zelkTimerSet(id, 0, nullptr, nullptr));
                const int controlCalls = control.calls;
                ASSERT_EQ(0, sendSigrtmin(workerTid, SI_TIMER, slot));
                ASSERT_EQ(0, sendSigrtmin(workerTid, SI_TIMER, controlSlot));
                ASSERT_TRUE(waitUntil(
                    [&] { return control.calls > controlCalls; }, kHangGuard));
                EXPECT_EQ(calls, log.calls)
                    << (viaDelete ? "deleted" : "disarmed");
            }
        }));
}

TEST(TimerServiceTest, FailedStartLeavesNothingAndALaterStartWorks)
{
    const zelkThreadAttr bad{99, 0, 0, nullptr}; // neither -1 nor 0-31
    errno = 0;
    EXPECT_EQ(-1, zelkTimerInit(0, &bad));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, zelk::test::threadsNamed("noname"));

    const zelkThreadAttr good{-1, 256 * 1024, 0, nullptr};
    EXPECT_EQ(0, zelkTimerInit(0, &good));
    EXPECT_EQ(1, zelk::test::threadsNamed("noname"));
    CallbackLog log;
    const int id = armPeriodic(log, 5 * kMs);
    EXPECT_TRUE(waitUntil([&] { return log.calls > 0; }, kHangGuard));
    zelkTimerDelete(id);
}

// A child forked while the parent's timers run gets a service of its own on
// first use, and none of the parent's timers fires in it.
TEST(TimerServiceTest, ForkedChildGetsAServiceOfItsOwn)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a "
                    "multi-threaded process";
#elif defined(ZELK_TEST_EMULATED)
    GTEST_SKIP() << "user-mode emulation fails when the child of a "
                    "multi-threaded process starts threads";
#endif
    CallbackLog parents;
    const int parentId = armPeriodic(parents, 2 * kMs);
    ASSERT_TRUE(waitUntil([&] { return parents.calls >= 2; }, kHangGuard));
    EXPECT_EQ(0, zelk::test::inChild([&] {
                  const int callsAtFork = parents.calls;
                  CallbackLog own;
                  const int id = armPeriodic(own, 2 * kMs);
                  ASSERT_LE(0, id);
                  ASSERT_TRUE(
                      waitUntil([&] { return own.calls >= 3; }, kHangGuard));
                  EXPECT_NE(own.lastTid.load(), parents.lastTid.load());
                  EXPECT_EQ(callsAtFork, parents.calls.load());
                  EXPECT_EQ(0, zelkTimerDelete(id));
              }));
    EXPECT_EQ(0, zelkTimerDelete(parentId));
}

} // namespace
