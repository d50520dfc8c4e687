// Event flags: a word of 32 bits that signals set and waits take, built on
// the mutex and condition-variable wrappers. The event's own mutex guards
// its bits word; no other lock is involved.
#include "zelk.h"

#include "common/status.h"

using zelk::detail::fail;

namespace {

// Unlocks an event's mutex, already locked, when the wait leaves its scope:
// on return and when the waiting thread is cancelled (cancellation unwinds
// through here), so a cancelled waiter never leaves the event locked.
class LockedEvent {
public:
    explicit LockedEvent(zelkEvent &event) : event_(event) {}
    ~LockedEvent()
    {
        const zelk::detail::ErrnoSaver keep;
        zelkMutexUnlock(&event_.mutex);
    }
    LockedEvent(const LockedEvent &) = delete;
    LockedEvent &operator=(const LockedEvent &) = delete;

private:
    zelkEvent &event_;
};

} // namespace

int zelkEventInit(zelkEvent *event)
{
    if (event == nullptr)
        return fail(EINVAL);
    event->bits = 0;
    if (zelkMutexInit(&event->mutex) != 0)
        return -1;
    if (zelkCondInit(&event->cond) != 0) {
        const zelk::detail::ErrnoSaver keep;
        zelkMutexDestroy(&event->mutex);
        return -1;
    }
    return 0;
}

int zelkEventDestroy(zelkEvent *event)
{
    if (event == nullptr)
        return fail(EINVAL);
    if (zelkCondDestroy(&event->cond) != 0)
        return -1;
    return zelkMutexDestroy(&event->mutex);
}

// Waiters look at the bits each time they wake; spurious wake-ups and bits
// outside the mask send them back to sleep.
int zelkEventWait(zelkEvent *event, uint32_t *mask)
{
    if (event == nullptr || mask == nullptr || *mask == 0)
        return fail(EINVAL);
    if (zelkMutexLock(&event->mutex) != 0)
        return -1;
    const LockedEvent locked(*event);
    for (;;) {
        const uint32_t wanted = *mask;
        if (wanted == 0)
            return fail(EINVAL);
        const uint32_t taken = event->bits & wanted;
        if (taken != 0) {
            event->bits &= ~taken;
            *mask = taken;
            return 0;
        }
        if (zelkCondWait(&event->cond, &event->mutex) != 0)
            return -1;
    }
}

// Every waiter is woken, not just one: waiters may wait for different bits,
// and a single wake-up that reached a waiter for other bits would leave the
// waiter for these bits asleep while they are set. Each woken waiter takes
// what its mask matches, in turn under the mutex; the others sleep again.
int zelkEventSignal(zelkEvent *event, uint32_t bits)
{
    if (event == nullptr)
        return fail(EINVAL);
    if (zelkMutexLock(&event->mutex) != 0)
        return -1;
    event->bits |= bits;
    const int rc = pthread_cond_broadcast(&event->cond);
    zelkMutexUnlock(&event->mutex);
    return rc == 0 ? 0 : fail(rc);
}
