// Starting zelkd's helper threads with every signal blocked. The stopping
// signals must reach the main thread, which takes them with sigwaitinfo; a
// helper that waits for a signal of its own takes it with sigwait, which
// works on blocked signals.
#ifndef ZELKD_QUIET_THREAD_H
#define ZELKD_QUIET_THREAD_H

#include <csignal>
#include <thread>
#include <utility>

#include <pthread.h>

namespace zelkd {

// Starts body on a new thread that inherits a full signal mask; the
// caller's own mask is left as it was. Throws what std::thread throws.
template <class Body> std::thread startQuietThread(Body &&body)
{
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        std::thread thread(std::forward<Body>(body));
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return thread;
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
}

} // namespace zelkd

#endif
