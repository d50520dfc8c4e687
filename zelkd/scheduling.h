// A thread's scheduling (policy, priority, nice value, flags) and the calls
// that read and set it, behind an interface of their own so that the core's
// priority inheritance is tested with a recording fake. Threads are named by
// their kernel thread id, which is what a FUSE request carries as its pid.
#ifndef ZELKD_SCHEDULING_H
#define ZELKD_SCHEDULING_H

#include <cstdint>
#include <map>
#include <mutex>

#include <sched.h>
#include <sys/types.h>

namespace zelkd {

// What sched_getattr reports and sched_setattr takes, minus the
// utilisation clamps (left alone).
struct Schedule {
    uint32_t policy = SCHED_OTHER;
    uint64_t flags = 0;
    int32_t nice = 0;
    uint32_t priority = 0;
    uint64_t runtime = 0;
    uint64_t deadline = 0;
    uint64_t period = 0;
    bool operator==(const Schedule &) const = default;
};

// The real-time priority that a thread carries into the messages it sends:
// its policy and priority under SCHED_FIFO or SCHED_RR; level 0 (nothing
// carried) under every other policy.
struct Priority {
    uint32_t policy = SCHED_OTHER;
    uint32_t level = 0;
    bool operator==(const Priority &) const = default;
};

Priority carriedPriority(const Schedule &schedule);

// The schedule that runs a thread at priority (a real-time one), keeping
// the thread's nice value; its children start without it.
Schedule raisedSchedule(const Priority &priority, int32_t nice);

class Scheduling {
public:
    // Each returns 0 or a positive error number (ESRCH: no such thread).
    // tid 0 is the calling thread.
    virtual int get(pid_t tid, Schedule &out) = 0;
    virtual int set(pid_t tid, const Schedule &to) = 0;

    // Between follow(tid) and forget(tid), set(tid) reaches only the thread
    // that had the id at follow(): once it has ended, set() fails with
    // ESRCH rather than change a later thread that was given the same id.
    virtual void follow(pid_t tid) = 0;
    virtual void forget(pid_t tid) = 0;

protected:
    ~Scheduling() = default;
};

// The real thing: sched_getattr/sched_setattr, and a pidfd per followed
// thread (where the kernel has thread pidfds; elsewhere the id alone).
class ThreadScheduling final : public Scheduling {
public:
    ThreadScheduling() = default;
    ~ThreadScheduling();
    ThreadScheduling(const ThreadScheduling &) = delete;
    ThreadScheduling &operator=(const ThreadScheduling &) = delete;

    int get(pid_t tid, Schedule &out) override;
    int set(pid_t tid, const Schedule &to) override;
    void follow(pid_t tid) override;
    void forget(pid_t tid) override;

private:
    std::mutex mutex_;
    std::map<pid_t, int> followed_; // tid -> pidfd; guarded by mutex_
};

} // namespace zelkd

#endif
