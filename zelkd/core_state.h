// The core's channel and message records, shared by its two source files.
// A message lives from its send until the reply, the sender's interrupt or
// the channel's end; while it lives, its sender is in Core::waiting_.
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
    uint16_t id = 0;
    Token sender = 0;
    pid_t pid = 0;
    uid_t uid = 0;
    int64_t sentNs = 0;      // CLOCK_MONOTONIC, for the round trip and status
    pid_t serverTid = 0;     // the receiving thread, once received
    uint64_t connection = 0; // the sending descriptor's handle
    zelk::protocol::zelkIoMsgSend record{};
    uint32_t size = 0;                     // bytes sent
    std::unique_ptr<unsigned char[]> data; // held only while queued
    bool received = false;
    std::list<Message *>::iterator place; // in the queue while not received
};

struct Core::Channel {
    std::string name;
    uid_t creatorUid = 0;
    pid_t creatorPid = 0;
    int64_t createdNs = 0; // CLOCK_REALTIME
    bool live = true;
    std::list<Message *> queue;    // not yet received, in arrival order
    std::list<Receiver> receivers; // waiting receives, in arrival order
    std::map<uint16_t, std::unique_ptr<Message>> messages; // unanswered
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
