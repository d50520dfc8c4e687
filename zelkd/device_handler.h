// The boundary between zelkd's transport (the FUSE adapter) and what serves
// the device: requests come in through DeviceHandler, answers go out through
// ReplySink. Neither side knows the other's types, so the core is tested
// without FUSE and a test driver can reuse the adapter.
#ifndef ZELKD_DEVICE_HANDLER_H
#define ZELKD_DEVICE_HANDLER_H

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

#include "scheduling.h"

namespace zelkd {

// Names one request of a caller until it is answered.
using Token = uint64_t;

// The process (thread) behind a request, as the kernel reports it.
struct Caller {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    bool compat = false; // a 32-bit process on a 64-bit kernel
    // The thread's real-time priority when the request arrived.
    Priority priority{};
};

// Answers requests. Every request gets exactly one answer: replyIoctl or
// replyError, at once or later; a request answered later is announced with
// keep() first, so that an interrupt for it can reach DeviceHandler.
class ReplySink {
public:
    // Ends an ioctl with result 0 and size bytes copied back to the caller.
    virtual void replyIoctl(Token token, const void *out, size_t size) = 0;
    // Ends a request with the positive error number err.
    virtual void replyError(Token token, int err) = 0;
    // The request stays open. May call DeviceHandler::interrupt() at once
    // when the caller was interrupted already, so it comes last.
    virtual void keep(Token token) = 0;

protected:
    ~ReplySink() = default;
};

// Serves the device. Calls may come from several threads at once, also
// interrupt() from inside ReplySink::keep() on the same thread.
class DeviceHandler {
public:
    // A descriptor was opened; the result names it in later calls.
    virtual uint64_t open() = 0;
    // The last reference to the descriptor was closed.
    virtual void release(uint64_t handle) = 0;
    // One ioctl: inSize bytes of the caller's record are at in; at most
    // outSize bytes may be copied back.
    virtual void ioctl(Token token, uint64_t handle, const Caller &caller,
                       uint32_t code, const void *in, size_t inSize,
                       size_t outSize) = 0;
    // The caller of a kept request took a signal.
    virtual void interrupt(Token token) = 0;
    // The device goes away: every kept request is answered with err.
    virtual void shutdown(int err) = 0;

protected:
    ~DeviceHandler() = default;
};

} // namespace zelkd

#endif
