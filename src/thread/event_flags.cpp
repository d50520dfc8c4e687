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

// A signal wakes one waiter. When that waiter does not want all of the bits
// that arrived while it slept, another waiter may want them; it then wakes
// every waiter before it returns or sleeps again, so that no waiter sleeps
// on while its bits are set. A waiter passes a wake-up on at most once per
// change it sees, so the passing ends once the bits settle.
int zelkEventWait(zelkEvent *event, uint32_t *mask)
{
    if (event == nullptr || mask == nullptr || *mask == 0)
        return fail(EINVAL);
    if (zelkMutexLock(&event->mutex) != 0)
        return -1;
    const LockedEvent locked(*event);

    bool woken = false;
    uint32_t seen = event->bits; // the bits when this waiter last looked
    for (;;) {
        const uint32_t wanted = *mask;
        if (wanted == 0)
            return fail(EINVAL);
        const uint32_t taken = event->bits & wanted;
        event->bits &= ~taken;
        if (woken && (event->bits & ~seen) != 0)
            pthread_cond_broadcast(&event->cond);
        if (taken != 0) {
            *mask = taken;
            return 0;
        }
        seen = event->bits;
        if (zelkCondWait(&event->cond, &event->mutex) != 0)
            return -1;
        woken = true;
    }
}

int zelkEventSignal(zelkEvent *event, uint32_t bits)
{
    if (event == nullptr)
        return fail(EINVAL);
    if (zelkMutexLock(&event->mutex) != 0)
        return -1;
    event->bits |= bits;
    const int rc = zelkCondSignal(&event->cond);
    {
        const zelk::detail::ErrnoSaver keep;
        zelkMutexUnlock(&event->mutex);
    }
    return rc;
}
