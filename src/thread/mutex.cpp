// Mutex and condition-variable wrappers: the threads library's own objects,
// with its error numbers turned into -1 and errno. No state of their own.
#include "zelk.h"

#include "common/status.h"

using zelk::detail::fail;

namespace {

// 0 stays 0; an error number from the threads library becomes -1 and errno.
inline int status(int rc)
{
    return rc == 0 ? 0 : fail(rc);
}

} // namespace

int zelkMutexInitX(pthread_mutex_t *mutex, int kind)
{
    if (mutex == nullptr)
        return fail(EINVAL);
    int type = 0;
    switch (kind) {
    case 0:
        return status(pthread_mutex_init(mutex, nullptr));
    case 1:
        type = PTHREAD_MUTEX_RECURSIVE;
        break;
    case 2:
        type = PTHREAD_MUTEX_ERRORCHECK;
        break;
    default:
        return fail(EINVAL);
    }
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, type);
    const int rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return status(rc);
}

int zelkMutexInit(pthread_mutex_t *mutex)
{
    if (mutex == nullptr)
        return fail(EINVAL);
    return status(pthread_mutex_init(mutex, nullptr));
}

int zelkMutexDestroy(pthread_mutex_t *mutex)
{
    if (mutex == nullptr)
        return fail(EINVAL);
    return status(pthread_mutex_destroy(mutex));
}

int zelkMutexLock(pthread_mutex_t *mutex)
{
    if (mutex == nullptr)
        return fail(EINVAL);
    return status(pthread_mutex_lock(mutex));
}

int zelkMutexUnlock(pthread_mutex_t *mutex)
{
    if (mutex == nullptr)
        return fail(EINVAL);
    return status(pthread_mutex_unlock(mutex));
}

int zelkCondInit(pthread_cond_t *cond)
{
    if (cond == nullptr)
        return fail(EINVAL);
    return status(pthread_cond_init(cond, nullptr));
}

int zelkCondDestroy(pthread_cond_t *cond)
{
    if (cond == nullptr)
        return fail(EINVAL);
    return status(pthread_cond_destroy(cond));
}

int zelkCondWait(pthread_cond_t *cond, pthread_mutex_t *mutex)
{
    if (cond == nullptr || mutex == nullptr)
        return fail(EINVAL);
    return status(pthread_cond_wait(cond, mutex));
}

int zelkCondSignal(pthread_cond_t *cond)
{
    if (cond == nullptr)
        return fail(EINVAL);
    return status(pthread_cond_signal(cond));
}
