// sysCal binary semaphores with the meaning they have in task-based systems:
// a flag that is available or taken, guarded by a mutex, and a condition
// variable on which takers block. A take waits until the semaphore is
// available and takes it; a give makes it available, whoever gives, and
// wakes one taker. So the same object serves for mutual exclusion (take,
// then give back) and for signalling (one task takes and blocks, another
// task gives).
#include "zelk.h"

#include <cstdlib>

#include <pthread.h>

#include "common/status.h"

struct sysCalSem {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool available;  // guarded by mutex
    unsigned takers; // guarded by mutex: tasks blocked in a take
};

namespace {

// Holds the semaphore's mutex, locked by the caller, until the end of the
// scope: also when a blocked taker is cancelled, since cancellation unwinds
// with the mutex locked again.
class Locked {
public:
    explicit Locked(pthread_mutex_t &mu) : mu_(mu) {}
    ~Locked() { pthread_mutex_unlock(&mu_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    pthread_mutex_t &mu_;
};

// Counts the calling task as a blocked taker for its scope (under the mutex).
class Taking {
public:
    explicit Taking(sysCalSem &sem) : sem_(sem) { ++sem_.takers; }
    ~Taking() { --sem_.takers; }
    Taking(const Taking &) = delete;
    Taking &operator=(const Taking &) = delete;

private:
    sysCalSem &sem_;
};

} // namespace

sysCalSem *sysCalSemBCreate(void)
{
    const zelk::detail::ErrnoSaver keepErrno; // malloc sets it on failure
    auto *sem = static_cast<sysCalSem *>(std::malloc(sizeof(sysCalSem)));
    if (sem == nullptr)
        return nullptr;
    if (pthread_mutex_init(&sem->mutex, nullptr) != 0) {
        std::free(sem);
        return nullptr;
    }
    if (pthread_cond_init(&sem->cond, nullptr) != 0) {
        pthread_mutex_destroy(&sem->mutex);
        std::free(sem);
        return nullptr;
    }
    sem->available = true;
    sem->takers = 0;
    return sem;
}

int32_t sysCalSemDelete(sysCalSem *semaphore)
{
    if (semaphore == nullptr)
        return -1;
    // Freeing the semaphore under a blocked taker would leave it on freed
    // memory: refuse, and keep the semaphore whole. A taken semaphore that
    // nobody waits for may go: signalling code ends with it taken.
    if (pthread_mutex_lock(&semaphore->mutex) != 0)
        return -1;
    const bool waitedOn = semaphore->takers != 0;
    pthread_mutex_unlock(&semaphore->mutex);
    if (waitedOn)
        return -1;

    const int mutexResult = pthread_mutex_destroy(&semaphore->mutex);
    const int condResult = pthread_cond_destroy(&semaphore->cond);
    std::free(semaphore);
    return mutexResult == 0 && condResult == 0 ? 0 : -1;
}

int32_t sysCalSemGive(sysCalSem *semaphore)
{
    if (semaphore == nullptr)
        return -1;
    if (pthread_mutex_lock(&semaphore->mutex) != 0)
        return -1;
    // Giving an available semaphore leaves it available: it is binary.
    semaphore->available = true;
    const int woke = pthread_cond_signal(&semaphore->cond);
    const int unlocked = pthread_mutex_unlock(&semaphore->mutex);
    return woke == 0 && unlocked == 0 ? 0 : -1;
}

int32_t sysCalSemTake(sysCalSem *semaphore)
{
    if (semaphore == nullptr)
        return -1;
    if (pthread_mutex_lock(&semaphore->mutex) != 0)
        return -1;
    const Locked locked(semaphore->mutex);
    if (!semaphore->available) {
        const Taking taking(*semaphore);
        while (!semaphore->available)
            if (pthread_cond_wait(&semaphore->cond, &semaphore->mutex) != 0)
                return -1;
    }
    semaphore->available = false;
    return 0;
}
