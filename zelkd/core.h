// zelkd's core: descriptors, named channels, connections, queued messages and
// their 16-bit ids, per-user bounds, and every rule of send, receive and
// reply. It has no FUSE in it: requests arrive through DeviceHandler, answers
// leave through ReplySink, caller memory is reached through MemoryAccess.
// Requests may arrive on several threads at once. Threads that receive
// messages from real-time senders are raised and restored through
// Inheritance.
#ifndef ZELKD_CORE_H
#define ZELKD_CORE_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core_status.h"
#include "counters.h"
#include "counting_sink.h"
#include "device_handler.h"
#include "driver/protocol.h"
#include "inheritance.h"
#include "memory_access.h"
#include "policy.h"

namespace zelkd {

struct Limits {
    uint32_t maxMessage = 16u << 20; // one message or reply, bytes
    uint64_t maxQueued = 256u << 20; // all data of messages not yet received
    // What one user (uid) may hold, so that no user can refuse another.
    uint64_t maxUserQueued = 64u << 20; // queued data of the user's sends
    uint32_t maxUserChannels = 1024;    // channels the user created
    uint32_t maxUserMessages = 1024;    // unanswered sends on one channel
};

class Core final : public DeviceHandler {
public:
    // With a scheduling, a thread that takes a message from a real-time
    // sender runs at least at the sender's priority until it ends.
    Core(ReplySink &sink, MemoryAccess &memory, const Limits &limits,
         Scheduling *scheduling = nullptr);
    ~Core();
    Core(const Core &) = delete;
    Core &operator=(const Core &) = delete;

    uint64_t open() override;
    void release(uint64_t handle) override;
    void ioctl(Token token, uint64_t handle, const Caller &caller,
               uint32_t code, const void *in, size_t inSize,
               size_t outSize) override;
    void interrupt(Token token) override;
    void shutdown(int err) override;

    // Creates and attaches are checked against the policy that holder has
    // in force at the time; without one, every name is open.
    void usePolicy(const PolicyHolder *holder) { policy_ = holder; }

    // What the core holds, for tests and diagnostics.
    size_t liveChannels() const;
    size_t waitingRequests() const;
    uint64_t queuedBytes() const;

    // Fills out with the channels, requests and connections held now.
    // Called under the same serialisation as the requests; copies no caller
    // memory and makes no system call beyond reading the clock.
    void status(CoreStatus &out) const;
    // Counted since start; readable from any thread at any time.
    const Counters &counters() const { return counters_; }

private:
    struct Channel;
    struct Message;

    // A receive waiting for a message.
    struct Receiver {
        Token token;
        pid_t pid;
        zelk::protocol::zelkIoMsgReceive record;
        uid_t uid;
        int64_t sinceNs; // CLOCK_MONOTONIC
    };

    enum class Kind { Unused, Channel, Connection, Ended };
    struct Descriptor {
        Kind kind = Kind::Unused;
        std::shared_ptr<Channel> channel;
        pid_t pid = 0; // who made it a channel or connection
        uid_t uid = 0;
    };

    // Held by the thread that works on a request outside the lock (copying
    // caller memory). Whoever else would answer the request leaves that to
    // the thread and records its error in err; only an interrupt of a
    // request whose caller's memory is not being written (early) answers
    // at once, and sets answered.
    struct Claim {
        bool early = false;
        bool answered = false;
        int err = 0;
    };

    // A request that is not answered yet: a sender (with its message), a
    // receive waiting in its channel, or one that a thread works on (claim
    // set). Erasing the entry under the lock is what entitles a thread to
    // answer the request, so every request is answered exactly once.
    struct Waiting {
        std::shared_ptr<Channel> channel;
        std::shared_ptr<Message> message;
        std::list<Receiver>::iterator receiver;
        Claim *claim = nullptr;
    };

    // What one user holds at the moment.
    struct Usage {
        uint64_t queued = 0;
        uint32_t channels = 0;
    };

    using Lock = std::unique_lock<std::mutex>;

    // Requests, by code (core.cpp: descriptors and names; core_messages.cpp:
    // send, receive, reply).
    void create(Token token, uint64_t handle, const Caller &caller,
                const void *in);
    void attach(Token token, uint64_t handle, const Caller &caller,
                const void *in);
    // Whether the policy lets caller create or attach to name. Reads the
    // caller's groups from /proc: called without the lock.
    bool permitted(PolicyKind kind, const std::string &name,
                   const Caller &caller) const;
    void destroy(Token token, uint64_t handle);
    void detach(Token token, uint64_t handle);
    void probe(Token token, const Caller &caller, const void *in);
    void send(Token token, uint64_t handle, const Caller &caller,
              const void *in);
    void receive(Token token, uint64_t handle, const Caller &caller,
                 const void *in);
    void reply(Token token, uint64_t handle, const Caller &caller,
               const void *in);

    // The descriptor's channel when it is of the kind wanted, else null.
    std::shared_ptr<Channel> channelOf(uint64_t handle, Kind kind);
    // Announces a request that will be answered later (its Waiting entry is
    // in place). True when its caller was interrupted already: the request
    // is then the calling thread's to answer.
    bool keep(Token token);
    // Answers a waiting request with err; one that a thread works on gets
    // err from that thread instead.
    void fail(Token token, int err);
    // Ends a channel: its senders fail with EPIPE, its receivers with EBADF.
    void endChannel(Channel &channel);
    // The connection's messages: queued ones are withdrawn, the rest keep
    // their ids until answered; their senders fail with err.
    void endConnection(Channel &channel, uint64_t handle, int err);
    // Takes a message out of its channel for good; its sender fails with err.
    void discard(Channel &channel, Message &message, int err);
    // The sender of a message is answered or gone: a queued message is
    // withdrawn, one a server holds keeps its id until replied to.
    void abandon(Channel &channel, Message &message);
    void eraseMessage(Channel &channel, Message &message);
    // Queues a message behind those sent at its priority or higher.
    void enqueue(Channel &channel, std::list<Message *> &node);
    // The thread holder received the message: it runs at least at the
    // sender's priority until the message ends (release()).
    void hold(Message &message, pid_t holder);
    void release(Message &message);
    bool allocateId(Channel &channel, uint16_t &id);
    // Counts size bytes of queued data against the total and uid's bound.
    bool charge(uid_t uid, uint64_t size);
    void refund(uid_t uid, uint64_t size);
    // Gives freed heap back to the system after large releases.
    void trimIfFreed();

    Counters counters_;
    CountingSink sink_; // the transport's, counting errors
    MemoryAccess &memory_;
    const Limits limits_;
    const PolicyHolder *policy_ = nullptr; // set before serving

    // Guards all state below and in the channels and messages. Never held
    // across a copy of caller memory, a probe or keep().
    mutable std::mutex mutex_;
    bool stopped_ = false;                                 // guarded by mutex_
    uint64_t nextHandle_ = 1;                              // guarded by mutex_
    std::unordered_map<uint64_t, Descriptor> descriptors_; // guarded by mutex_
    std::unordered_map<std::string, std::shared_ptr<Channel>>
        names_;                                  // guarded by mutex_
    std::unordered_map<Token, Waiting> waiting_; // guarded by mutex_
    std::unordered_map<uid_t, Usage> users_;     // guarded by mutex_
    uint64_t queuedBytes_ = 0;                   // guarded by mutex_
    Inheritance inheritance_;                    // guarded by mutex_
    std::atomic<uint64_t> freed_{0}; // bytes released since the last trim
};

} // namespace zelkd

#endif
