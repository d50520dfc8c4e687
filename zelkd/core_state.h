// The core's channel and message records, shared by its two source files.
// A message lives from its send until the reply, the channel's end, or (when
// no server holds it yet) its sender's interrupt or end. All of it is
// guarded by Core::mutex_.
#ifndef ZELKD_CORE_STATE_H
#define ZELKD_CORE_STATE_H

#include <cstring>
#include <ctime>

#include "core.h"

namespace zelkd {

// Message ids run from 1 to 0x7FFF, so a receive id (message id << 16 |
// channel id) is never negative and never mistaken for a failure.
inline constexpr uint16_t kMaxMessageId = 0x7FFF;

struct Core::Message {
    enum class State {
        Queued,     // waiting for a receive, with data of its own
        Delivering, // a thread copies it into a receive's buffer
        Received,   // a server holds it and may reply
        Replying,   // a thread copies the reply into the sender
    };
    uint16_t id = 0;
    State state = State::Queued;
    bool erased = false; // out of its channel; its id may be reused
    Token sender = 0;    // 0 once the sender was answered or is gone
    pid_t pid = 0;
    uid_t uid = 0;
    Priority priority;       // the sender's when it sent
    pid_t holder = 0;        // the thread that received it, while it holds it
    int64_t sentNs = 0;      // CLOCK_MONOTONIC, for the round trip and status
    pid_t serverTid = 0;     // the receiving thread, once received
    uint64_t connection = 0; // the sending descriptor's handle
    zelk::protocol::zelkIoMsgSend record{};
    uint32_t size = 0;                     // bytes sent
    std::unique_ptr<unsigned char[]> data; // held while queued or delivered
    std::list<Message *>::iterator place;  // in the queue while Queued
};

struct Core::Channel {
    std::string name;
    uid_t creatorUid = 0;
    pid_t creatorPid = 0;
    int64_t createdNs = 0; // CLOCK_REALTIME
    bool live = true;
    // Queued messages: highest sender priority first, then arrival order.
    std::list<Message *> queue;
    std::list<Receiver> receivers; // waiting receives, in arrival order
    // Every message whose id is taken: unanswered, or abandoned by its
    // sender while a server may still reply to it.
    std::map<uint16_t, std::shared_ptr<Message>> messages;
    std::unordered_map<uid_t, uint32_t> perUser; // messages, by sender uid
    uint16_t nextId = 1;
};

// The clock's reading in nanoseconds.
int64_t clockNs(clockid_t clock);

// Copies a request's record out of the transport's buffer (which need not
// be aligned). False when the record's size field is not its size.
template <typename Record> bool readRecord(const void *in, Record &rec)
{
    memcpy(&rec, in, sizeof rec);
    return rec.size == sizeof rec;
}

} // namespace zelkd

#endif
