// zelkd's core: descriptors, named channels, connections, queued messages and
// their 16-bit ids, and every rule of send, receive and reply. It has no FUSE
// in it: requests arrive through DeviceHandler, answers leave through
// ReplySink, caller memory is reached through MemoryAccess. Single-threaded:
// callers serialise their calls (LockedCore).
#ifndef ZELKD_CORE_H
#define ZELKD_CORE_H

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core_status.h"
#include "counters.h"
#include "counting_sink.h"
#include "device_handler.h"
#include "driver/protocol.h"
#include "memory_access.h"

namespace zelkd {

struct Limits {
    uint32_t maxMessage = 16u << 20; // one message or reply, bytes
    uint64_t maxQueued = 256u << 20; // all data of messages not yet received
};

class Core final : public DeviceHandler {
public:
    Core(ReplySink &sink, MemoryAccess &memory, const Limits &limits);
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

    // What the core holds, for tests and diagnostics.
    size_t liveChannels() const { return names_.size(); }
    size_t waitingRequests() const { return waiting_.size(); }
    uint64_t queuedBytes() const { return queuedBytes_; }

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

    // Where a kept request waits: in a channel's receivers, or as the
    // sender of a message.
    struct Waiting {
        std::shared_ptr<Channel> channel;
        Message *message = nullptr;
        std::list<Receiver>::iterator receiver;
    };

    using Record = std::vector<unsigned char>;

    // Requests, by code (core.cpp: descriptors and names; core_messages.cpp:
    // send, receive, reply).
    void create(Token token, Descriptor &desc, const Caller &caller,
                const void *in);
    void attach(Token token, Descriptor &desc, const Caller &caller,
                const void *in);
    void destroy(Token token, Descriptor &desc);
    void detach(Token token, Descriptor &desc, uint64_t handle);
    void probe(Token token, const Caller &caller, const void *in);
    void send(Token token, Descriptor &desc, uint64_t handle,
              const Caller &caller, const void *in);
    void receive(Token token, Descriptor &desc, const Caller &caller,
                 const void *in);
    void reply(Token token, Descriptor &desc, const Caller &caller,
               const void *in);

    // Ends a channel: its senders fail with EPIPE, its receivers with EBADF.
    void endChannel(Channel &channel);
    // Withdraws the connection's messages; their senders fail with err.
    void endConnection(Channel &channel, uint64_t handle, int err);
    // Copies the message's bytes into the receiver's buffer and answers the
    // receive. Returns false (the receive failed with EFAULT) when it cannot.
    bool deliver(Message &message, const unsigned char *bytes,
                 Receiver &receiver);
    // Takes a message out of its channel and the waiting table, and answers
    // its sender with err (or not at all when err is 0).
    void dropMessage(Channel &channel, Message &message, int err);
    bool allocateId(Channel &channel, uint16_t &id);
    // A buffer of at least size bytes for data on its way between two
    // callers, kept from call to call so that it is not allocated (and
    // faulted in) again for every message.
    unsigned char *scratch(size_t size);

    Counters counters_;
    CountingSink sink_; // the transport's, counting errors
    MemoryAccess &memory_;
    const Limits limits_;
    uint64_t nextHandle_ = 1;
    std::unordered_map<uint64_t, Descriptor> descriptors_;
    std::unordered_map<std::string, std::shared_ptr<Channel>> names_;
    std::unordered_map<Token, Waiting> waiting_;
    uint64_t queuedBytes_ = 0;
    std::unique_ptr<unsigned char[]> scratch_;
    size_t scratchSize_ = 0;
};

} // namespace zelkd

#endif
