// Switching zelkd's serving thread between the waiting priority and its
// caller's. Each thread remembers what it runs at, so that a request whose
// caller wants the waiting schedule itself costs no system call.
#include "serving_priority.h"

#include <cstring>

#include "log.h"

namespace zelkd {

namespace {

// What the calling thread was last set to; empty before the first set.
thread_local Schedule current;
thread_local bool known = false;
// Set while the thread serves a caller without a real-time priority at the
// waiting priority: bulk() lowers it to its own.
thread_local bool lowerForBulk = false;

} // namespace

std::string ServingPriority::start()
{
    int err = scheduling_.get(0, own_);
    if (err == 0) {
        waiting_ = raisedSchedule(
            Priority{SCHED_FIFO,
                     static_cast<uint32_t>(sched_get_priority_max(SCHED_FIFO))},
            own_.nice);
        // Unlike a raised caller's thread, the worker threads that this one
        // starts should wait at the same priority.
        waiting_.flags = own_.flags;
        err = scheduling_.set(0, waiting_);
    }
    if (err != 0)
        return std::string("cannot use real-time scheduling: ") + strerror(err);
    current = waiting_;
    known = true;
    return "";
}

void ServingPriority::enter(const Priority &caller)
{
    lowerForBulk = caller.level == 0;
    if (!lowerForBulk)
        become(raisedSchedule(caller, own_.nice));
}

void ServingPriority::bulk()
{
    if (lowerForBulk) {
        lowerForBulk = false;
        become(own_);
    }
}

void ServingPriority::leave()
{
    lowerForBulk = false;
    become(waiting_);
}

void ServingPriority::stop()
{
    become(own_);
}

void ServingPriority::become(const Schedule &to)
{
    if (known && current == to)
        return;
    const int err = scheduling_.set(0, to);
    if (err != 0) {
        logLine(LogLevel::Error, "cannot set zelkd's own scheduling: %s",
                strerror(err));
        known = false;
        return;
    }
    current = to;
    known = true;
}

} // namespace zelkd
