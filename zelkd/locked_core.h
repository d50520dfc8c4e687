// Serialises every call into the core: the FUSE loop's requests and the
// control socket's status snapshots. The lock is recursive because a kept
// request's interrupt can arrive from inside the answer that keeps it.
#ifndef ZELKD_LOCKED_CORE_H
#define ZELKD_LOCKED_CORE_H

#include <chrono>
#include <mutex>
#include <thread>

#include "core.h"

namespace zelkd {

class LockedCore final : public DeviceHandler {
public:
    explicit LockedCore(Core &core) : core_(core) {}

    uint64_t open() override
    {
        const std::lock_guard hold(lock_);
        return core_.open();
    }
    void release(uint64_t handle) override
    {
        const std::lock_guard hold(lock_);
        core_.release(handle);
    }
    void ioctl(Token token, uint64_t handle, const Caller &caller,
               uint32_t code, const void *in, size_t inSize,
               size_t outSize) override
    {
        const std::lock_guard hold(lock_);
        core_.ioctl(token, handle, caller, code, in, inSize, outSize);
    }
    void interrupt(Token token) override
    {
        const std::lock_guard hold(lock_);
        core_.interrupt(token);
    }
    void shutdown(int err) override
    {
        const std::lock_guard hold(lock_);
        core_.shutdown(err);
    }

    // Takes a snapshot, waiting at most wait for the core; false when the
    // core stayed busy (a request stuck on a caller's memory, say).
    bool status(CoreStatus &out, std::chrono::milliseconds wait)
    {
        // try_lock in a loop rather than a timed lock: the timed lock's
        // clock-based wait escapes the thread sanitizer's view of locks.
        std::unique_lock hold(lock_, std::defer_lock);
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!hold.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        core_.status(out);
        return true;
    }

    const Counters &counters() const { return core_.counters(); }

private:
    Core &core_;
    // Guards every call into core_.
    std::recursive_mutex lock_;
};

} // namespace zelkd

#endif
