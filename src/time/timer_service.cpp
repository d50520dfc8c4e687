// The timer service's core: the static slot table, the global lock, the
// worker thread that takes the timers' SIGRTMIN with sigwaitinfo and runs
// their callbacks, and zelkTimerInit, which starts the worker once. The
// worker holds a slot's slotLock while its callback runs; zelkTimerInit holds
// myTimerMutex while it waits for the worker. A forked child starts with the
// service stopped and every slot free.
#include "time/timer_service.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/lock.h"
#include "common/status.h"
#include "common/trace.h"

namespace zelk::detail {

namespace {

// Every slot knows its position and has a valid, unlocked slotLock from load
// on: delete and set lock a slot even before the service has started, and a
// start never re-initialises a lock that another thread may hold.
constexpr std::array<myTimerInfo, kTimerSlots> makeTimerTable()
{
    constexpr pthread_mutex_t kUnlocked = PTHREAD_MUTEX_INITIALIZER;
    std::array<myTimerInfo, kTimerSlots> table{};
    for (int i = 0; i < kTimerSlots; ++i) {
        table[i].slotIndex = i;
        table[i].slotLock = kUnlocked;
    }
    return table;
}

} // namespace

constinit std::array<myTimerInfo, kTimerSlots> myTimerInfos = makeTimerTable();
constinit pthread_mutex_t myTimerMutex = PTHREAD_MUTEX_INITIALIZER;
constinit std::atomic<int> myTimerThreadID{0};
constinit std::atomic<int> myTimerThreadReady{0};

namespace {

// The worker runs while this is 1. Written under myTimerMutex before the
// worker is created, never while it runs.
int myTimerThreadShallRun = 0;

constexpr char kCoarseClock[] =
    "zelk: CLOCK_MONOTONIC's resolution is not 1 ns! "
    "(might be checked by \"cat /proc/timer_list\")";
static_assert(sizeof kCoarseClock - 1 == 92, "the clock warning is 92 bytes");

// Warns on standard error when the monotonic clock cannot time a timer to
// the nanosecond. Neither outcome stops the start.
void checkClockResolution()
{
    const ErrnoSaver keep;
    timespec resolution{};
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0) {
        char text[128];
        fprintf(stderr,
                "zelk: clock_getres(CLOCK_MONOTONIC, ...) failed with %s!",
                strerror_r(errno, text, sizeof text));
        return;
    }
    if (resolution.tv_sec != 0 || resolution.tv_nsec != 1)
        fwrite(kCoarseClock, 1, sizeof kCoarseClock - 1, stderr);
}

// The slot that a signal names, or nullptr when the signal is not an expiry
// of one of the service's timers: SIGRTMIN sent by anybody else (kill,
// sigqueue, tgkill) carries another code or a value that is no slot address.
myTimerInfo *slotOfSignal(const siginfo_t &info)
{
    if (info.si_code != SI_TIMER)
        return nullptr;
    const auto address = reinterpret_cast<uintptr_t>(info.si_value.sival_ptr);
    const auto first = reinterpret_cast<uintptr_t>(myTimerInfos.data());
    if (address < first)
        return nullptr;
    const uintptr_t offset = address - first;
    if (offset % sizeof(myTimerInfo) != 0 ||
        offset / sizeof(myTimerInfo) >= myTimerInfos.size())
        return nullptr;
    return &myTimerInfos[offset / sizeof(myTimerInfo)];
}

// Runs the slot's callback unless the timer was deleted or disarmed after
// the signal had been queued.
// The tracepoints carry the lateness: how long after its due time the
// expiry is served (-1 when the due time is not known).
void dispatch(myTimerInfo &slot, int overrun)
{
    const MutexHolder hold(&slot.slotLock);
    const uint64_t now = monotonicNs();
    const int64_t lateness =
        slot.dueNs != 0 ? static_cast<int64_t>(now - slot.dueNs) : -1;
    ZELK_PROBE(zelk, timer_expire, slot.slotIndex, lateness, overrun);
    // The next expiry is due one period (plus the overruns) later.
    slot.dueNs = slot.intervalNs != 0
                     ? slot.dueNs + slot.intervalNs *
                                        (1 + static_cast<uint64_t>(overrun))
                     : 0;
    if (slot.armed != 0 && slot.inUse != 0) {
        ZELK_PROBE(zelk, timer_callback_start, slot.slotIndex, lateness);
        slot.callback(slot.slotIndex, slot.userArg);
        ZELK_PROBE(zelk, timer_callback_end, slot.slotIndex,
                   static_cast<int64_t>(monotonicNs() - now));
    }
}

} // namespace

uint64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<uint64_t>(now.tv_nsec);
}

namespace {

void *myTimerWorkerThread(void *)
{
    myTimerThreadID.store(gettid(), std::memory_order_relaxed);
    sigset_t timerSignal;
    sigemptyset(&timerSignal);
    sigaddset(&timerSignal, SIGRTMIN);
    pthread_sigmask(SIG_BLOCK, &timerSignal, nullptr);
    myTimerThreadReady.store(1, std::memory_order_release);

    for (;;) {
        siginfo_t info;
        if (sigwaitinfo(&timerSignal, &info) < 0)
            continue;
        if (myTimerThreadShallRun == 0)
            break;
        if (myTimerInfo *slot = slotOfSignal(info))
            dispatch(*slot, info.si_overrun);
    }
    myTimerThreadReady.store(0, std::memory_order_release);
    return nullptr;
}

// Creates the worker thread. Returns 0, or -1 with zelkThreadCreate's errno
// and the service left not started.
int startTimerWorker(const zelkThreadAttr *attr)
{
    myTimerThreadShallRun = 1;
    pthread_t worker; // never joined: the worker runs until the process ends
    if (zelkThreadCreate(&worker, attr, myTimerWorkerThread, nullptr) != 0) {
        myTimerThreadShallRun = 0;
        myTimerThreadReady.store(0, std::memory_order_release);
        return -1;
    }
    return 0;
}

// In a child of fork() the parent's worker does not exist and no kernel
// timer of the parent was inherited: every slot is free and the service not
// started, so the first create starts a worker of the child's own. The locks
// may have been held by threads that the child does not have.
void resetTimerServiceInChild()
{
    constexpr pthread_mutex_t kUnlocked = PTHREAD_MUTEX_INITIALIZER;
    myTimerMutex = kUnlocked;
    for (myTimerInfo &slot : myTimerInfos) {
        slot.slotLock = kUnlocked;
        slot.inUse = 0;
        slot.armed = 0;
    }
    myTimerThreadShallRun = 0;
    myTimerThreadID.store(0, std::memory_order_relaxed);
    myTimerThreadReady.store(0, std::memory_order_release);
}

__attribute__((constructor)) void registerTimerForkHandler()
{
    pthread_atfork(nullptr, nullptr, resetTimerServiceInChild);
}

} // namespace

} // namespace zelk::detail

using zelk::detail::MutexHolder;
using zelk::detail::myTimerMutex;
using zelk::detail::myTimerThreadReady;

int zelkTimerInit(int, const zelkThreadAttr *attr)
{
    const MutexHolder global(&myTimerMutex);
    if (myTimerThreadReady.load(std::memory_order_acquire) != 0)
        return 0;

    const int callersErrno = errno;
    zelk::detail::checkClockResolution();
    if (zelk::detail::startTimerWorker(attr) != 0)
        return -1;
    // The worker takes no lock before it is ready, so this wait ends; every
    // other timer call waits on myTimerMutex meanwhile.
    const zelkTime poll = 1'000'000;
    while (myTimerThreadReady.load(std::memory_order_acquire) == 0)
        zelkSleep(&poll);
    errno = callersErrno;
    return 0;
}
