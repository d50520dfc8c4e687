// sysCal binary semaphores: one mutex, available while unlocked and held by
// the task that locked it. The mutex checks errors, so that taking a
// semaphore one already holds fails instead of blocking forever, and giving
// one that the caller does not hold fails instead of corrupting it.
#include "zelk.h"

#include <cstdlib>

#include <pthread.h>

#include "common/status.h"

struct sysCalSem {
    pthread_mutex_t mutex;
};

namespace {

int initErrorCheckMutex(pthread_mutex_t *mutex)
{
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    if (rc == 0)
        rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

} // namespace

sysCalSem *sysCalSemBCreate(void)
{
    const zelk::detail::ErrnoSaver keepErrno; // malloc sets it on failure
    auto *sem = static_cast<sysCalSem *>(std::malloc(sizeof(sysCalSem)));
    if (sem == nullptr)
        return nullptr;
    if (initErrorCheckMutex(&sem->mutex) != 0) {
        std::free(sem);
        return nullptr;
    }
    return sem;
}

int32_t sysCalSemDelete(sysCalSem *semaphore)
{
    if (semaphore == nullptr)
        return -1;
    // A held semaphore is refused and kept whole: its holder would be left
    // giving back freed memory.
    if (pthread_mutex_trylock(&semaphore->mutex) != 0)
        return -1;
    pthread_mutex_unlock(&semaphore->mutex);
    const int destroyed = pthread_mutex_destroy(&semaphore->mutex);
    std::free(semaphore);
    return destroyed == 0 ? 0 : -1;
}

int32_t sysCalSemGive(sysCalSem *semaphore)
{
    if (semaphore == nullptr)
        return -1;
    return pthread_mutex_unlock(&semaphore->mutex) == 0 ? 0 : -1;
}

int32_t sysCalSemTake(sysCalSem *semaphore)
{
    if (semaphore == nullptr)
        return -1;
    return pthread_mutex_lock(&semaphore->mutex) == 0 ? 0 : -1;
}
