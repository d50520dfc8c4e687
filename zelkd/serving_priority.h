// zelkd's own threads and real-time callers: a thread waits for the next
// request at the highest real-time priority, so that busy real-time work of
// middling priority cannot keep a high-priority caller's request unread,
// and serves each request at its caller's real-time priority, so that no
// caller gets more from zelkd than its own priority would. For a caller
// without one, the thread keeps the waiting priority for the few
// microseconds of bookkeeping a request needs, and takes its own scheduling
// only for work whose size the caller decides (ServingMemory): two system
// calls saved on every small request.
#ifndef ZELKD_SERVING_PRIORITY_H
#define ZELKD_SERVING_PRIORITY_H

#include <cstddef>
#include <string>

#include "memory_access.h"
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
    // It does work whose size its caller decides.
    void bulk();
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

// Caller memory reached at the serving thread's caller's priority: copies
// of more than a few kilobytes and probes lower the thread first.
class ServingMemory final : public MemoryAccess {
public:
    // serving may be null: nothing is lowered then.
    ServingMemory(MemoryAccess &memory, ServingPriority *serving)
        : memory_(memory), serving_(serving)
    {
    }

    int read(pid_t pid, uint64_t address, void *to, size_t size) override
    {
        bulk(size);
        return memory_.read(pid, address, to, size);
    }
    int write(pid_t pid, uint64_t address, const void *from,
              size_t size) override
    {
        bulk(size);
        return memory_.write(pid, address, from, size);
    }
    int probe(pid_t pid, uint64_t address, size_t size, bool forRead,
              bool forWrite) override
    {
        bulk(SIZE_MAX); // its cost grows with the caller's mappings
        return memory_.probe(pid, address, size, forRead, forWrite);
    }

private:
    static constexpr size_t kBulk = 16 * 1024;

    void bulk(size_t size)
    {
        if (serving_ != nullptr && size > kBulk)
            serving_->bulk();
    }

    MemoryAccess &memory_;
    ServingPriority *serving_;
};

} // namespace zelkd

#endif
