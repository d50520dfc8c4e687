// FuseDevice::run: worker threads that each read a request from the FUSE
// channel and serve it themselves (no hand-off to another thread), while
// the calling thread waits for a stopping signal and, when a request takes
// long, lets another worker read. A worker stuck in one caller's memory
// holds up only that request.
#define FUSE_USE_VERSION 31
#include "fuse_device.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include <fuse_lowlevel.h>
#include <pthread.h>

namespace zelkd {

namespace {

// Sent to the workers at the end: it only breaks a blocked read.
constexpr int kWakeSignal = SIGUSR1;
// How long the end waits for the workers before leaving stuck ones behind.
constexpr auto kStopWait = std::chrono::seconds(2);

// How often the main thread looks for a request that holds up the others.
constexpr std::chrono::nanoseconds kCheckEvery = std::chrono::milliseconds(25);

void onWake(int) {}

struct Workers {
    fuse_session *session = nullptr;
    pthread_t main{};
    unsigned limit = 1;
    std::mutex mutex;
    std::condition_variable turn;    // a waiting worker may read
    std::condition_variable gone;    // a worker ended
    std::vector<pthread_t> threads;  // guarded by mutex
    std::vector<pthread_t> finished; // guarded by mutex: threads that ended
    unsigned running = 0;            // guarded by mutex
    unsigned waiting = 0;            // guarded by mutex: for a hand-off
    unsigned handoffs = 0;           // guarded by mutex: granted, not taken
    unsigned busy = 0;               // guarded by mutex: serving a request
    uint64_t served = 0;             // guarded by mutex: requests taken
    bool reading = false;            // guarded by mutex: a worker reads
    bool stopping = false;           // guarded by mutex
    int error = 0;                   // guarded by mutex: the channel's failure

    // Starts one more worker; false when the system refuses. Needs mutex.
    bool add();
};

// One worker reads at a time, and the one that served the last request
// reads the next, so that a steady stream of requests stays on one warm
// thread with no wake-up between requests. Another worker reads only when
// the main thread hands it the turn because the request in progress takes
// long (a copy stuck in a caller's memory).
void *work(void *arg)
{
    Workers &workers = *static_cast<Workers *>(arg);
    fuse_buf buf{};
    bool follower = false;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(workers.mutex);
            while (!workers.stopping &&
                   (workers.reading || (follower && workers.handoffs == 0))) {
                follower = true;
                ++workers.waiting;
                workers.turn.wait(lock);
                --workers.waiting;
            }
            if (workers.stopping)
                break;
            if (follower)
                --workers.handoffs;
            follower = false;
            workers.reading = true;
        }
        const int res = fuse_session_receive_buf(workers.session, &buf);
        std::unique_lock<std::mutex> lock(workers.mutex);
        workers.reading = false;
        if (res == -EINTR)
            continue;
        if (res <= 0 && fuse_session_exited(workers.session))
            break; // the end was asked for
        if (res <= 0) {
            // The channel failed or was unmounted: everything stops.
            if (res < 0 && workers.error == 0)
                workers.error = res;
            fuse_session_exit(workers.session);
            pthread_kill(workers.main, SIGTERM);
            break;
        }
        ++workers.busy;
        ++workers.served;
        lock.unlock();
        fuse_session_process_buf(workers.session, &buf);
        lock.lock();
        --workers.busy;
    }
    free(buf.mem);
    std::lock_guard<std::mutex> lock(workers.mutex);
    --workers.running;
    workers.finished.push_back(pthread_self()); // room reserved by add()
    workers.gone.notify_all();
    return nullptr;
}

bool Workers::add()
{
    threads.reserve(threads.size() + 1);
    finished.reserve(threads.size() + 1);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, work, this) != 0)
        return false;
    threads.push_back(thread);
    ++running;
    return true;
}

// Called every kCheckEvery: when nobody reads and no request was taken
// since the last call while one is in progress, that one is stuck; another
// worker takes the turn to read.
void handOff(Workers &workers, uint64_t &lastServed)
{
    std::lock_guard<std::mutex> lock(workers.mutex);
    const bool stalled = !workers.reading && workers.busy > 0 &&
                         workers.served == lastServed && workers.handoffs == 0;
    lastServed = workers.served;
    if (!stalled)
        return;
    if (workers.waiting > 0) {
        ++workers.handoffs;
        workers.turn.notify_one();
    } else if (workers.running < workers.limit) {
        workers.add();
    }
}

} // namespace

int FuseDevice::run(DeviceHandler &handler, unsigned threads)
{
    handler_ = &handler;
    // The stopping signals are taken here, by sigwaitinfo; the workers
    // inherit them blocked. SIGHUP is the policy reloader's. The wake
    // signal breaks a worker's read (no SA_RESTART); a broken pipe is an
    // error return, not an end.
    sigset_t stopping, previous;
    sigemptyset(&stopping);
    for (int sig : {SIGTERM, SIGINT})
        sigaddset(&stopping, sig);
    struct sigaction wake {
    }, oldWake{}, ignore{}, oldPipe{};
    wake.sa_handler = onWake;
    ignore.sa_handler = SIG_IGN;
    if (pthread_sigmask(SIG_BLOCK, &stopping, &previous) != 0 ||
        sigaction(kWakeSignal, &wake, &oldWake) != 0 ||
        sigaction(SIGPIPE, &ignore, &oldPipe) != 0)
        return -EIO;
    // The workers inherit the waiting priority from this thread. main()
    // tried this before the daemon forked; it worked then.
    if (serving_ != nullptr && !serving_->start().empty())
        return -EPERM;

    // Workers left stuck at the end still use this: it is kept for them.
    auto owned = std::make_unique<Workers>();
    Workers &workers = *owned;
    workers.session = session_;
    workers.main = pthread_self();
    workers.limit = threads == 0 ? 1 : threads;
    perUser_ = workers.limit / 4 > 0 ? workers.limit / 4 : 1;
    int rc = 0;
    {
        std::lock_guard<std::mutex> lock(workers.mutex);
        if (!workers.add())
            rc = -EAGAIN;
    }
    uint64_t lastServed = 0;
    while (rc == 0) {
        const timespec tick{0, kCheckEvery.count()};
        siginfo_t info;
        if (sigtimedwait(&stopping, &info, &tick) > 0)
            break;
        handOff(workers, lastServed);
    }
    fuse_session_exit(session_);
    {
        std::lock_guard<std::mutex> lock(workers.mutex);
        workers.stopping = true;
        workers.turn.notify_all();
    }
    if (serving_ != nullptr)
        serving_->stop();
    handler.shutdown(ENOTCONN);

    // Wake the workers until they are gone; one stuck in a caller's memory
    // is left behind after a while.
    std::unique_lock<std::mutex> lock(workers.mutex);
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while (workers.running > 0 && std::chrono::steady_clock::now() < deadline) {
        for (pthread_t thread : workers.threads)
            pthread_kill(thread, kWakeSignal);
        workers.gone.wait_for(lock, std::chrono::milliseconds(20));
    }
    stuck_ = workers.running;
    if (rc == 0)
        rc = workers.error;
    const std::vector<pthread_t> finished = workers.finished;
    lock.unlock();
    for (pthread_t thread : finished)
        pthread_join(thread, nullptr);
    if (stuck_ != 0) {
        owned.release();
        return rc;
    }
    sigaction(kWakeSignal, &oldWake, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return rc;
}

} // namespace zelkd
