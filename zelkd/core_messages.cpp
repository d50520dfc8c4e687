// The core's message traffic: send, receive and reply. A send's data is read
// from the client when the send arrives; it goes straight to a waiting
// receive or is queued, first come first served. The sender then waits for
// the reply, matched on the low 16 bits of the message id.
#include "core.h"

#include <cstring>
#include <new>

#include "core_state.h"
#include "log.h"

namespace zelkd {

using namespace zelk::protocol;

bool Core::allocateId(Channel &channel, uint16_t &id)
{
    if (channel.messages.size() >= kMaxMessageId)
        return false;
    for (;;) {
        const uint16_t candidate = channel.nextId;
        channel.nextId = candidate == kMaxMessageId ? 1 : candidate + 1;
        if (channel.messages.count(candidate) == 0) {
            id = candidate;
            return true;
        }
    }
}

unsigned char *Core::scratch(size_t size)
{
    if (size > scratchSize_ || !scratch_) {
        // Grow geometrically up to the largest message; never empty, so
        // that even a zero-length copy has a valid address.
        constexpr size_t kFirst = 64 * 1024;
        size_t grown = scratchSize_ * 2 > size ? scratchSize_ * 2 : size;
        if (grown < kFirst)
            grown = kFirst;
        if (grown > limits_.maxMessage && size <= limits_.maxMessage)
            grown = limits_.maxMessage;
        scratch_.reset(); // the old one goes first: no two at once
        scratchSize_ = 0;
        scratch_.reset(new unsigned char[grown]);
        scratchSize_ = grown;
    }
    return scratch_.get();
}

bool Core::deliver(Message &message, const unsigned char *bytes,
                   Receiver &receiver)
{
    const size_t size = message.size;
    const size_t room = receiver.record.bufferSize;
    const size_t copied = size < room ? size : room;
    if (memory_.write(receiver.pid, receiver.record.buffer, bytes, copied) !=
        0) {
        sink_.replyError(receiver.token, EFAULT);
        return false;
    }
    // The information word is the full size sent, so truncation shows.
    Counters::add(counters_.bytes, copied);
    receiver.record.messageId = message.id;
    receiver.record.info = static_cast<uint32_t>(size);
    message.serverTid = receiver.pid;
    sink_.replyIoctl(receiver.token, &receiver.record, sizeof receiver.record);
    return true;
}

void Core::send(Token token, Descriptor &desc, uint64_t handle,
                const Caller &caller, const void *in)
{
    zelkIoMsgSend rec;
    if (!readRecord(in, rec))
        return sink_.replyError(token, EINVAL);
    if (desc.kind != Kind::Connection)
        return sink_.replyError(token, EBADF);
    Channel &channel = *desc.channel;
    if (!channel.live)
        return sink_.replyError(token, EPIPE);
    if (rec.dataSize > limits_.maxMessage || rec.replySize > limits_.maxMessage)
        return sink_.replyError(token, EMSGSIZE);
    if (channel.receivers.empty() &&
        queuedBytes_ + rec.dataSize > limits_.maxQueued)
        return sink_.replyError(token, ENOBUFS);

    // Everything that allocates comes before the first change of state.
    // The data goes through the scratch buffer when a receiver waits, and
    // into a buffer of the message's own when it will be queued.
    auto owned = std::make_unique<Message>();
    Message &message = *owned;
    message.size = rec.dataSize;
    unsigned char *bytes;
    if (!channel.receivers.empty()) {
        bytes = scratch(rec.dataSize);
    } else {
        message.data.reset(new unsigned char[rec.dataSize]);
        bytes = message.data.get();
    }
    if (memory_.read(caller.pid, rec.data, bytes, rec.dataSize) != 0)
        return sink_.replyError(token, EFAULT);
    if (!allocateId(channel, message.id))
        return sink_.replyError(token, ENOBUFS);
    message.sender = token;
    message.pid = caller.pid;
    message.uid = caller.uid;
    message.sentNs = clockNs(CLOCK_MONOTONIC);
    message.connection = handle;
    message.record = rec;
    std::list<Message *> node{&message};
    auto stored = channel.messages.emplace(message.id, std::move(owned)).first;
    try {
        waiting_.emplace(token, Waiting{desc.channel, &message, {}});
    } catch (...) {
        channel.messages.erase(stored);
        throw;
    }

    while (!channel.receivers.empty()) {
        Receiver &receiver = channel.receivers.front();
        const Token receiveToken = receiver.token;
        const bool delivered = deliver(message, bytes, receiver);
        channel.receivers.pop_front();
        waiting_.erase(receiveToken);
        if (delivered) {
            message.received = true;
            message.data.reset();
            return sink_.keep(token);
        }
    }
    // Every waiting receiver failed, or none waited: the message is queued,
    // with data of its own.
    int err = queuedBytes_ + message.size > limits_.maxQueued ? ENOBUFS : 0;
    if (err == 0 && !message.data) {
        message.data.reset(new (std::nothrow) unsigned char[message.size]);
        if (message.data)
            memcpy(message.data.get(), bytes, message.size);
        else
            err = ENOMEM;
    }
    if (err != 0) {
        waiting_.erase(token);
        channel.messages.erase(stored);
        return sink_.replyError(token, err);
    }
    message.place = node.begin();
    channel.queue.splice(channel.queue.end(), node);
    queuedBytes_ += message.size;
    sink_.keep(token);
}

void Core::receive(Token token, Descriptor &desc, const Caller &caller,
                   const void *in)
{
    zelkIoMsgReceive rec;
    if (!readRecord(in, rec))
        return sink_.replyError(token, EINVAL);
    if (desc.kind != Kind::Channel)
        return sink_.replyError(token, EBADF);
    Channel &channel = *desc.channel;
    std::list<Receiver> node{Receiver{token, caller.pid, rec, caller.uid, 0}};
    Receiver &receiver = node.front();

    if (!channel.queue.empty()) {
        Message &message = *channel.queue.front();
        if (!deliver(message, message.data.get(), receiver))
            return; // the message stays first in the queue
        channel.queue.pop_front();
        queuedBytes_ -= message.size;
        message.received = true;
        message.data.reset();
        return;
    }
    auto where = node.begin();
    receiver.sinceNs = clockNs(CLOCK_MONOTONIC);
    waiting_.emplace(token, Waiting{desc.channel, nullptr, where});
    channel.receivers.splice(channel.receivers.end(), node);
    sink_.keep(token);
}

void Core::reply(Token token, Descriptor &desc, const Caller &caller,
                 const void *in)
{
    zelkIoMsgReply rec;
    if (!readRecord(in, rec))
        return sink_.replyError(token, EINVAL);
    if (desc.kind != Kind::Channel)
        return sink_.replyError(token, EBADF);
    if (rec.dataSize > limits_.maxMessage)
        return sink_.replyError(token, EMSGSIZE);
    Channel &channel = *desc.channel;
    // Only the low 16 bits name the message: the library sign-extends the
    // id it splits from a receive id.
    auto found = channel.messages.find(static_cast<uint16_t>(rec.messageId));
    if (found == channel.messages.end() || !found->second->received)
        return sink_.replyError(token, ESRCH);
    Message &message = *found->second;

    unsigned char *bytes = scratch(rec.dataSize);
    if (memory_.read(caller.pid, rec.data, bytes, rec.dataSize) != 0) {
        // Neither side may hang on a reply that cannot be read.
        dropMessage(channel, message, EFAULT);
        return sink_.replyError(token, EFAULT);
    }
    const uint32_t room = message.record.replySize;
    const size_t copied = rec.dataSize < room ? rec.dataSize : room;
    zelkIoMsgSend out = message.record;
    out.status = rec.status;
    const bool written =
        memory_.write(message.pid, message.record.reply, bytes, copied) == 0;
    const Token sender = message.sender;
    const int64_t sentNs = message.sentNs;
    dropMessage(channel, message, 0);
    if (written) {
        Counters::add(counters_.bytes, copied);
        counters_.trip(clockNs(CLOCK_MONOTONIC) - sentNs);
        sink_.replyIoctl(sender, &out, sizeof out);
    } else
        sink_.replyError(sender, EFAULT);
    sink_.replyIoctl(token, &rec, sizeof rec);
}

} // namespace zelkd
