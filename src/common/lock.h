// RAII holders for plain pthread mutexes. With exceptions enabled, thread
// cancellation unwinds through these holders and releases the lock.
#ifndef ZELK_COMMON_LOCK_H
#define ZELK_COMMON_LOCK_H

#include <pthread.h>

namespace zelk::detail {

// Locks mu for the holder's scope; a null pointer holds nothing, for paths
// that may already hold the lock or must not take it.
class MutexHolder {
public:
    explicit MutexHolder(pthread_mutex_t *mu) : mu_(mu)
    {
        if (mu_ != nullptr)
            pthread_mutex_lock(mu_);
    }
    ~MutexHolder()
    {
        if (mu_ != nullptr)
            pthread_mutex_unlock(mu_);
    }
    MutexHolder(const MutexHolder &) = delete;
    MutexHolder &operator=(const MutexHolder &) = delete;

private:
    pthread_mutex_t *mu_;
};

} // namespace zelk::detail

#endif
