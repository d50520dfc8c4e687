// zelkd's own threads and real-time callers: a thread waits for the next
// request at the highest real-time priority, so that busy real-time work of
// middling priority cannot keep a high-priority caller's request unread,
// and serves each request at its caller's priority (its own scheduling for
// a caller without one), so that no caller gets more from zelkd than its
// own priority would.
#ifndef ZELKD_SERVING_PRIORITY_H
#define ZELKD_SERVING_PRIORITY_H

#include <string>

#include "scheduling.h"

namespace zelkd {

class ServingPriority {
public:
    explicit ServingPriority(Scheduling &scheduling) : scheduling_(scheduling)
    {
    }

    // Reads the calling thread's scheduling as the one to serve callers
    // without a real-time priority at, then makes it wait at the highest
    // priority (threads that it starts later inherit that). Returns "" or
    // why not; the thread is then unchanged.
    std::string start();
    // The calling thread serves a request of a caller at priority.
    void enter(const Priority &caller);
    // It waits for the next request.
    void leave();
    // It gets its own scheduling back.
    void stop();

private:
    void become(const Schedule &to);

    Scheduling &scheduling_;
    // Written by start() before any request is served; read-only after.
    Schedule own_;
    Schedule waiting_;
};

// Serves one request at its caller's priority, when serving is not null.
class ServingAt {
public:
    ServingAt(ServingPriority *serving, const Priority &caller)
        : serving_(serving)
    {
        if (serving_ != nullptr)
            serving_->enter(caller);
    }
    ~ServingAt()
    {
        if (serving_ != nullptr)
            serving_->leave();
    }
    ServingAt(const ServingAt &) = delete;
    ServingAt &operator=(const ServingAt &) = delete;

private:
    ServingPriority *serving_;
};

} // namespace zelkd

#endif
