// sysCal events: a mutex and a condition variable. A post broadcasts under
// the mutex and is not remembered; a wait is one condition wait with no
// predicate. The event's mutex guards two counts that exist only for delete:
// the tasks blocked in a wait, whose presence makes delete refuse, and the
// tasks inside a wait at all, released ones included, whom delete lets leave
// before it frees the event.
#include "zelk.h"

#include <cstdlib>

#include <pthread.h>

#include "common/status.h"

struct sysCalEvent {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    unsigned waiters; // guarded by mutex: tasks inside a wait
    unsigned blocked; // guarded by mutex: waiters that no post released
    unsigned posts;   // guarded by mutex: tells a waiter it was released
    bool deleting;    // guarded by mutex: delete waits for waiters to leave
};

namespace {

// Holds the event's mutex, locked by the caller, until unlock() or the end
// of the scope: also when a waiting task is cancelled, since cancellation
// unwinds with the mutex locked again.
class Locked {
public:
    explicit Locked(pthread_mutex_t &mu) : mu_(&mu) {}
    ~Locked()
    {
        if (mu_ != nullptr)
            pthread_mutex_unlock(mu_);
    }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

    int unlock()
    {
        pthread_mutex_t *mu = mu_;
        mu_ = nullptr;
        return pthread_mutex_unlock(mu);
    }

private:
    pthread_mutex_t *mu_;
};

// Counts the calling task as a waiter of ev for its scope (under ev's mutex),
// and as blocked until a post releases it. A waiter that leaves without a
// post (cancelled, woken spuriously) was never released and uncounts itself.
class Waiting {
public:
    explicit Waiting(sysCalEvent &ev) : ev_(ev), posts_(ev.posts)
    {
        ++ev_.waiters;
        ++ev_.blocked;
    }
    ~Waiting()
    {
        if (ev_.posts == posts_)
            --ev_.blocked;
        if (--ev_.waiters == 0 && ev_.deleting)
            pthread_cond_broadcast(&ev_.cond);
    }
    Waiting(const Waiting &) = delete;
    Waiting &operator=(const Waiting &) = delete;

private:
    sysCalEvent &ev_;
    unsigned posts_;
};

} // namespace

sysCalEvent *sysCalEventCreate(void)
{
    const zelk::detail::ErrnoSaver keepErrno; // malloc sets it on failure
    auto *ev = static_cast<sysCalEvent *>(std::malloc(sizeof(sysCalEvent)));
    if (ev == nullptr)
        return nullptr;
    if (pthread_mutex_init(&ev->mutex, nullptr) != 0) {
        std::free(ev);
        return nullptr;
    }
    if (pthread_cond_init(&ev->cond, nullptr) != 0) {
        pthread_mutex_destroy(&ev->mutex);
        std::free(ev);
        return nullptr;
    }
    ev->waiters = 0;
    ev->blocked = 0;
    ev->posts = 0;
    ev->deleting = false;
    return ev;
}

int32_t sysCalEventDelete(sysCalEvent *event)
{
    if (event == nullptr)
        return -1;
    // Freeing the event under a blocked waiter would leave it on freed
    // memory: refuse, and keep the event whole. Waiters that a post has
    // released only need the mutex back to leave; wait for them.
    if (pthread_mutex_lock(&event->mutex) != 0)
        return -1;
    {
        Locked locked(event->mutex);
        if (event->blocked != 0)
            return -1;
        event->deleting = true;
        while (event->waiters != 0)
            pthread_cond_wait(&event->cond, &event->mutex);
    }

    const int mutexResult = pthread_mutex_destroy(&event->mutex);
    const int condResult = pthread_cond_destroy(&event->cond);
    std::free(event);
    return mutexResult == 0 && condResult == 0 ? 0 : -1;
}

int32_t sysCalEventPost(sysCalEvent *event)
{
    if (event == nullptr)
        return -1;
    if (pthread_mutex_lock(&event->mutex) != 0)
        return -1;
    // The mutex is given back whatever the broadcast reports, so that a
    // failed post cannot block every later post and wait.
    const int woke = pthread_cond_broadcast(&event->cond);
    if (woke == 0) {
        ++event->posts;
        event->blocked = 0;
    }
    const int unlocked = pthread_mutex_unlock(&event->mutex);
    return woke == 0 && unlocked == 0 ? 0 : -1;
}

int32_t sysCalEventWait(sysCalEvent *event)
{
    if (event == nullptr)
        return -1;
    if (pthread_mutex_lock(&event->mutex) != 0)
        return -1;
    Locked locked(event->mutex);
    int waited;
    {
        const Waiting waiting(*event);
        waited = pthread_cond_wait(&event->cond, &event->mutex);
    }
    // A failed condition wait returns with the mutex still held: give it
    // back here too.
    const int unlocked = locked.unlock();
    return waited == 0 && unlocked == 0 ? 0 : -1;
}
