// The operations on single timers: create, delete, set, get. Each works on a
// slot of myTimerInfos under myTimerMutex; delete and set called off the
// worker take the slot's slotLock first, so they wait for a running callback.
// The failures these calls detect themselves leave errno alone.
#include "zelk.h"

#include <csignal>
#include <ctime>

#include "common/lock.h"
#include "time/timer_service.h"
#include "time/nanoseconds.h"

// The C library names the target thread's field only in newer releases.
#ifdef sigev_notify_thread_id
#define ZELK_SIGEV_THREAD_ID_FIELD sigev_notify_thread_id
#else
#define ZELK_SIGEV_THREAD_ID_FIELD _sigev_un._tid
#endif

namespace {

using zelk::detail::kTimerSlots;
using zelk::detail::MutexHolder;
using zelk::detail::myTimerInfo;
using zelk::detail::myTimerInfos;
using zelk::detail::myTimerMutex;
using zelk::detail::myTimerThreadID;

// The slot of a timer id, or nullptr when the id is out of range; negative
// ids count as large ones.
myTimerInfo *slotOf(int id)
{
    if (static_cast<unsigned>(id) >= static_cast<unsigned>(kTimerSlots))
        return nullptr;
    return &myTimerInfos[static_cast<unsigned>(id)];
}

// The slotLock to take: none inside a callback, where the worker already
// holds the running timer's lock and must be free to touch any timer.
pthread_mutex_t *slotLockFor(myTimerInfo &slot)
{
    return zelk::detail::onTimerWorker() ? nullptr : &slot.slotLock;
}

// Converts a setting for the kernel. False when a field's seconds do not
// fit time_t: such a setting would otherwise be cut to another time.
bool toItimerspec(const zelkTimerSpec &setting, itimerspec *out)
{
    return zelk::detail::toTimespec(setting.value, &out->it_value) &&
           zelk::detail::toTimespec(setting.interval, &out->it_interval);
}

zelkTimerSpec fromItimerspec(const itimerspec &kernel)
{
    return {zelk::detail::fromTimespec(kernel.it_value),
            zelk::detail::fromTimespec(kernel.it_interval)};
}

} // namespace

int zelkTimerCreate(zelkTimerCallback callback, void *userArg)
{
    if (callback == nullptr)
        return -1;
    if (zelk::detail::myTimerThreadReady.load(std::memory_order_acquire) == 0 &&
        zelkTimerInit(0, nullptr) != 0)
        return -1;

    const MutexHolder global(&myTimerMutex);
    static int iNext = 0; // where the next search starts; myTimerMutex
    int taken = -1;
    for (int n = 0; n < kTimerSlots && taken < 0; ++n) {
        const int i = (iNext + n) % kTimerSlots;
        if (myTimerInfos[i].inUse == 0)
            taken = i;
    }
    if (taken < 0)
        return -1;
    iNext = (taken + 1) % kTimerSlots;

    myTimerInfo &slot = myTimerInfos[taken];
    sigevent notify{};
    notify.sigev_notify = SIGEV_THREAD_ID;
    notify.sigev_signo = SIGRTMIN;
    notify.ZELK_SIGEV_THREAD_ID_FIELD =
        myTimerThreadID.load(std::memory_order_relaxed);
    notify.sigev_value.sival_ptr = &slot;
    if (timer_create(CLOCK_MONOTONIC, &notify, &slot.posixTimer) != 0)
        return -1;
    slot.callback = callback;
    slot.userArg = userArg;
    slot.inUse = 1;
    return slot.slotIndex;
}

int zelkTimerDelete(int id)
{
    myTimerInfo *slot = slotOf(id);
    if (slot == nullptr)
        return -1;
    const MutexHolder running(slotLockFor(*slot));
    const MutexHolder global(&myTimerMutex);
    if (slot->inUse == 0)
        return -1;
    slot->inUse = 0;
    slot->armed = 0;
    // Neither result matters: the slot is free either way, and signals of
    // the timer still queued find it free and call nothing.
    const itimerspec disarm{};
    timer_settime(slot->posixTimer, 0, &disarm, nullptr);
    timer_delete(slot->posixTimer);
    return 0;
}

int zelkTimerSet(int id, int flags, const zelkTimerSpec *newSetting,
                 zelkTimerSpec *oldSetting)
{
    myTimerInfo *slot = slotOf(id);
    if (slot == nullptr)
        return -1;
    itimerspec kernel{}; // without a new setting: disarm
    if (newSetting != nullptr && !toItimerspec(*newSetting, &kernel))
        return -1;

    const MutexHolder running(slotLockFor(*slot));
    const MutexHolder global(&myTimerMutex);
    if (slot->inUse == 0)
        return -1;
    itimerspec previous{};
    if (timer_settime(slot->posixTimer, flags & TIMER_ABSTIME, &kernel,
                      &previous) != 0)
        return -1;
    slot->armed =
        kernel.it_value.tv_sec != 0 || kernel.it_value.tv_nsec != 0 ? 1 : 0;
    const uint64_t value = newSetting != nullptr ? newSetting->value : 0;
    slot->dueNs = slot->armed == 0 ? 0
                  : (flags & TIMER_ABSTIME) != 0
                      ? value
                      : zelk::detail::monotonicNs() + value;
    slot->intervalNs = newSetting != nullptr ? newSetting->interval : 0;
    if (oldSetting != nullptr)
        *oldSetting = fromItimerspec(previous);
    return 0;
}

int zelkTimerGet(int id, zelkTimerSpec *setting)
{
    myTimerInfo *slot = slotOf(id);
    if (slot == nullptr || setting == nullptr)
        return -1;
    const MutexHolder global(&myTimerMutex);
    if (slot->inUse == 0)
        return -1;
    itimerspec current{};
    if (timer_gettime(slot->posixTimer, &current) != 0)
        return -1;
    *setting = fromItimerspec(current);
    return 0;
}
