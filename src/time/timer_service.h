// The timer service's shared state: the static slot table, its global lock
// and the worker's flags, used by the worker (timer_service.cpp) and by the
// timer operations (timer_ops.cpp). Lock order: a slot's slotLock, then
// myTimerMutex; the worker thread never takes a slotLock inside a callback.
#ifndef ZELK_TIME_TIMER_SERVICE_H
#define ZELK_TIME_TIMER_SERVICE_H

#include <array>
#include <atomic>
#include <ctime>

#include <pthread.h>

#include "zelk.h"

namespace zelk::detail {

inline constexpr int kTimerSlots = 200;

// One slot of the table; a timer's id is its slot's position.
struct myTimerInfo {
    zelkTimerCallback callback; // written at create, while armed is 0
    void *userArg;              // likewise
    timer_t posixTimer;         // valid while inUse; guarded by myTimerMutex
    int slotIndex;              // the slot's position, fixed at load
    // Held by the worker while the callback runs, and by threads other than
    // the worker while they delete or set the timer.
    pthread_mutex_t slotLock;
    // Written only under myTimerMutex, and off the worker only under slotLock
    // too. The worker tests armed first: armed is 1 only on a slot in use,
    // and inUse of a free slot may be written by a create that holds no
    // slotLock.
    int inUse;
    int armed;
    // When the next expiry is due (CLOCK_MONOTONIC ns, 0: not known) and
    // the period; for the lateness that the tracepoints report. Guarded
    // like armed.
    uint64_t dueNs;
    uint64_t intervalNs;
};

// The monotonic clock's reading in nanoseconds.
uint64_t monotonicNs();

extern std::array<myTimerInfo, kTimerSlots> myTimerInfos;
extern pthread_mutex_t myTimerMutex;

// Written once by the worker before it publishes myTimerThreadReady with
// release ordering; 0 until then, and 0 matches no thread.
extern std::atomic<int> myTimerThreadID;
extern std::atomic<int> myTimerThreadReady;

// True on the worker thread, i.e. inside a callback.
inline bool onTimerWorker()
{
    return gettid() == myTimerThreadID.load(std::memory_order_relaxed);
}

} // namespace zelk::detail

#endif
