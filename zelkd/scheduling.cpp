// Reading and setting a thread's scheduling with sched_getattr and
// sched_setattr (glibc has no wrappers for them), and following a thread
// through a pidfd so that a reused thread id is never mistaken for it.
#include "scheduling.h"

#include <cerrno>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zelkd {

namespace {

// The kernel's struct sched_attr, first version (48 bytes).
struct KernelSchedAttr {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;
    uint64_t deadline;
    uint64_t period;
};
static_assert(sizeof(KernelSchedAttr) == 48);

// Flags that sched_getattr reports and sched_setattr takes back with a
// first-version record.
constexpr uint64_t kFlagResetOnFork = 0x01;
constexpr uint64_t kKeptFlags = 0x01 | 0x02 | 0x04; // reset, reclaim, overrun

// A pidfd names a single thread with this flag (Linux 6.9 and later).
constexpr unsigned kPidfdThread = 0x80; // O_EXCL

// True once the thread behind pidfd has ended.
bool ended(int pidfd)
{
    pollfd p{pidfd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP)) != 0;
}

} // namespace

Priority carriedPriority(const Schedule &schedule)
{
    if (schedule.policy != SCHED_FIFO && schedule.policy != SCHED_RR)
        return Priority{};
    return Priority{schedule.policy, schedule.priority};
}

Schedule raisedSchedule(const Priority &priority, int32_t nice)
{
    Schedule out;
    out.policy = priority.policy;
    out.priority = priority.level;
    out.nice = nice;
    out.flags = kFlagResetOnFork;
    return out;
}

ThreadScheduling::~ThreadScheduling()
{
    for (const auto &[tid, fd] : followed_)
        close(fd);
}

int ThreadScheduling::get(pid_t tid, Schedule &out)
{
    KernelSchedAttr attr{};
    if (syscall(SYS_sched_getattr, tid, &attr, sizeof attr, 0) != 0)
        return errno;
    out.policy = attr.policy;
    out.flags = attr.flags & kKeptFlags;
    out.nice = attr.nice;
    out.priority = attr.priority;
    out.runtime = attr.runtime;
    out.deadline = attr.deadline;
    out.period = attr.period;
    return 0;
}

int ThreadScheduling::set(pid_t tid, const Schedule &to)
{
    if (tid != 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = followed_.find(tid);
        if (it != followed_.end() && ended(it->second))
            return ESRCH;
    }
    KernelSchedAttr attr{};
    attr.size = sizeof attr;
    attr.policy = to.policy;
    attr.flags = to.flags & kKeptFlags;
    attr.nice = to.nice;
    attr.priority = to.priority;
    attr.runtime = to.runtime;
    attr.deadline = to.deadline;
    attr.period = to.period;
    if (syscall(SYS_sched_setattr, tid, &attr, 0) != 0)
        return errno;
    return 0;
}

void ThreadScheduling::follow(pid_t tid)
{
    const long fd = syscall(SYS_pidfd_open, tid, kPidfdThread);
    if (fd < 0)
        return; // an older kernel: the id alone
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        auto [it, fresh] = followed_.emplace(tid, static_cast<int>(fd));
        if (!fresh) {
            close(it->second);
            it->second = static_cast<int>(fd);
        }
    } catch (...) {
        close(static_cast<int>(fd));
        throw;
    }
}

void ThreadScheduling::forget(pid_t tid)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = followed_.find(tid);
    if (it == followed_.end())
        return;
    close(it->second);
    followed_.erase(it);
}

} // namespace zelkd
