// sysCal binary semaphores: one mutex, available while unlocked and held by
// the task that locked it. The holder is also recorded, so that taking a
// semaphore one already holds fails instead of blocking forever, and giving
// one that the caller does not hold fails instead of unlocking a mutex that
// it does not own.
#include "zelk.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <type_traits>

#include <pthread.h>

#include "common/status.h"

// glibc's thread ids are addresses, never 0: 0 stands for "no holder".
static_assert(std::is_integral_v<pthread_t>);

struct sysCalSem {
    pthread_mutex_t mutex;
    // Set by the holder right after locking, cleared by it right before
    // unlocking. Only the calling task can make it equal its own id, so a
    // task that reads its own id does hold the semaphore.
    std::atomic<pthread_t> holder;
};

namespace {

bool heldByCaller(const sysCalSem &sem)
{
    return pthread_equal(sem.holder.load(std::memory_order_relaxed),
                         pthread_self()) != 0;
}

} // namespace

sysCalSem *sysCalSemBCreate(void)
{
    const zelk::detail::ErrnoSaver keepErrno; // malloc sets it on failure
    void *memory = std::malloc(sizeof(sysCalSem));
    if (memory == nullptr)
        return nullptr;
    auto *sem = new (memory) sysCalSem;
    sem->holder.store(0, std::memory_order_relaxed);
    if (pthread_mutex_init(&sem->mutex, nullptr) != 0) {
        std::free(memory);
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
    if (semaphore == nullptr || !heldByCaller(*semaphore))
        return -1;
    semaphore->holder.store(0, std::memory_order_relaxed);
    if (pthread_mutex_unlock(&semaphore->mutex) != 0) {
        semaphore->holder.store(pthread_self(), std::memory_order_relaxed);
        return -1;
    }
    return 0;
}

int32_t sysCalSemTake(sysCalSem *semaphore)
{
    if (semaphore == nullptr || heldByCaller(*semaphore))
        return -1;
    if (pthread_mutex_lock(&semaphore->mutex) != 0)
        return -1;
    semaphore->holder.store(pthread_self(), std::memory_order_relaxed);
    return 0;
}
