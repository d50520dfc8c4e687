// Raising and restoring the threads that hold messages from real-time
// senders. A thread's own scheduling is read once, when it takes its first
// such message, and set back unchanged when it holds none any more.
#include "inheritance.h"

#include <cerrno>
#include <cstring>

#include "log.h"

namespace zelkd {

void Inheritance::hold(pid_t tid, const Priority &sent)
{
    // Thread id 0 would name zelkd's own thread (a caller outside its pid
    // namespace shows as 0).
    if (scheduling_ == nullptr || sent.level == 0 || tid <= 0)
        return;
    auto [it, fresh] = holders_.try_emplace(tid);
    Holder &holder = it->second;
    if (fresh) {
        if (scheduling_->get(tid, holder.own) != 0) {
            holders_.erase(it); // the thread is gone already
            return;
        }
        scheduling_->follow(tid);
    }
    ++holder.held[key(sent)];
    apply(tid, holder);
}

void Inheritance::release(pid_t tid, const Priority &sent)
{
    if (sent.level == 0)
        return;
    auto it = holders_.find(tid);
    if (it == holders_.end())
        return;
    Holder &holder = it->second;
    auto count = holder.held.find(key(sent));
    if (count != holder.held.end() && --count->second == 0)
        holder.held.erase(count);
    apply(tid, holder);
    if (holder.held.empty()) {
        scheduling_->forget(tid);
        holders_.erase(it);
    }
}

void Inheritance::releaseAll()
{
    for (auto &[tid, holder] : holders_) {
        holder.held.clear();
        apply(tid, holder);
        scheduling_->forget(tid);
    }
    holders_.clear();
}

void Inheritance::apply(pid_t tid, Holder &holder)
{
    Priority want;
    if (!holder.held.empty()) {
        const uint64_t top = holder.held.rbegin()->first;
        want = Priority{static_cast<uint32_t>(top),
                        static_cast<uint32_t>(top >> 32)};
    }
    // A thread already at or above the priority keeps its own scheduling;
    // so does a deadline thread, which runs ahead of every real-time one.
    if (want.level <= carriedPriority(holder.own).level ||
        holder.own.policy == SCHED_DEADLINE)
        want = Priority{};
    if (want == holder.applied)
        return;
    const Schedule to =
        want.level == 0 ? holder.own : raisedSchedule(want, holder.own.nice);
    const int err = scheduling_->set(tid, to);
    // A thread that has ended needs nothing; anything else is worth a line.
    if (err != 0 && err != ESRCH)
        logLine(LogLevel::Error, "cannot set the scheduling of thread %d: %s",
                static_cast<int>(tid), strerror(err));
    holder.applied = want;
}

} // namespace zelkd
