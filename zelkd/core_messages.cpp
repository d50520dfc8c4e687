// The core's message traffic: send, receive and reply. Caller memory is
// copied outside the lock, by the thread that serves the request, while the
// requests involved are claimed (Core::Claim) so that nobody else answers
// them meanwhile. A send's data goes straight to a waiting receive or is
// queued, highest sender priority first and first come first served among
// equals; the sender then waits for the reply,
// matched on the low 16 bits of the message id.
#include "core.h"

#include <cstring>
#include <iterator>
#include <new>

#include "core_state.h"
#include "log.h"

namespace zelkd {

using namespace zelk::protocol;

namespace {

constexpr size_t kPage = 4096;

// The offset within a page at which data copied from address from and then
// to address to should sit. The kernel copies caller memory with string
// instructions, which run several times slower on some processors when the
// destination lies 1 to 31 bytes past the source within a page; this keeps
// both copies out of that window.
size_t stagingOffset(uint64_t from, uint64_t to)
{
    const uint64_t ahead = (to - from) % kPage;
    const uint64_t shift = ahead >= 1 && ahead <= 31 ? 32 : 0;
    return static_cast<size_t>((from + shift) % kPage);
}

// This thread's buffer for data on its way from address from in one caller
// to address to in another, kept from call to call up to kScratchKept bytes
// so that it is not allocated (and faulted in) again for every message, with
// the data placed in the page by stagingOffset(). Never empty, so that even a
// zero-length copy has a valid address; null when out of memory.
constexpr size_t kScratchKept = 1u << 20;
thread_local std::unique_ptr<unsigned char[]> scratchBuffer;
thread_local size_t scratchSize = 0;

unsigned char *scratch(size_t size, uint64_t from, uint64_t to)
{
    if (size > scratchSize || !scratchBuffer) {
        constexpr size_t kFirst = 64 * 1024;
        size_t grown = scratchSize * 2 > size ? scratchSize * 2 : size;
        if (grown < kFirst)
            grown = kFirst;
        if (grown > kScratchKept && size <= kScratchKept)
            grown = kScratchKept;
        scratchBuffer.reset(); // the old one goes first: no two at once
        scratchSize = 0;
        // Two pages more: one to reach a page boundary, one for the offset.
        scratchBuffer.reset(new (std::nothrow) unsigned char[grown + 2 * kPage]);
        if (!scratchBuffer)
            return nullptr;
        scratchSize = grown;
    }
    const auto base = reinterpret_cast<uintptr_t>(scratchBuffer.get());
    const uintptr_t page = (base + kPage - 1) & ~uintptr_t{kPage - 1};
    return reinterpret_cast<unsigned char *>(page + stagingOffset(from, to));
}

// Frees a buffer grown past what is kept, once the copy is done.
void shrinkScratch()
{
    if (scratchSize > kScratchKept) {
        scratchBuffer.reset();
        scratchSize = 0;
    }
}

size_t smaller(size_t a, size_t b)
{
    return a < b ? a : b;
}

} // namespace

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

void Core::send(Token token, uint64_t handle, const Caller &caller,
                const void *in)
{
    zelkIoMsgSend rec;
    if (!readRecord(in, rec))
        return sink_.replyError(token, EINVAL);
    // Only what is replied is bounded, not the room offered for it.
    if (rec.dataSize > limits_.maxMessage)
        return sink_.replyError(token, EMSGSIZE);

    // What allocates comes first: nothing below may throw once the request
    // is registered, or it would be answered twice.
    auto message = std::make_shared<Message>();
    message->sender = token;
    message->pid = caller.pid;
    message->uid = caller.uid;
    message->priority = caller.priority;
    message->sentNs = clockNs(CLOCK_MONOTONIC);
    message->connection = handle;
    message->record = rec;
    message->size = rec.dataSize;
    std::list<Message *> node{message.get()};
    decltype(Channel::messages)::node_type slot;
    {
        decltype(Channel::messages) holder;
        holder.emplace(0, message);
        slot = holder.extract(holder.begin());
    }
    Claim claim;
    claim.early = true; // nothing is ever written to the sender meanwhile
    std::shared_ptr<Channel> channel;
    bool direct = false;  // a receive waited: no buffer of its own needed
    uint64_t target = 0;  // where that receive wants the data
    bool charged = false; // the data counts against the queued bounds
    {
        Lock lock(mutex_);
        channel = channelOf(handle, Kind::Connection);
        if (!channel)
            return sink_.replyError(token, EBADF);
        if (!channel->live)
            return sink_.replyError(token, EPIPE);
        uint32_t &mine = channel->perUser[caller.uid];
        direct = !channel->receivers.empty();
        if (direct)
            target = channel->receivers.front().record.buffer;
        int err = mine >= limits_.maxUserMessages ? ENOBUFS : 0;
        try {
            if (err == 0 && !direct) {
                charged = charge(caller.uid, rec.dataSize);
                err = charged ? 0 : ENOBUFS;
            }
            if (err == 0)
                waiting_.emplace(token, Waiting{channel, nullptr, {}, &claim});
        } catch (...) {
            err = ENOMEM;
        }
        if (err != 0) {
            if (charged)
                refund(caller.uid, rec.dataSize);
            if (mine == 0)
                channel->perUser.erase(caller.uid);
            return sink_.replyError(token, err);
        }
        ++mine;
    }

    int err = keep(token) ? EINTR : 0;
    std::unique_ptr<unsigned char[]> owned;
    unsigned char *bytes = nullptr;
    if (err == 0) {
        if (direct) {
            bytes = scratch(rec.dataSize, rec.data, target);
        } else {
            owned.reset(
                new (std::nothrow) unsigned char[size_t{rec.dataSize} + 1]);
            bytes = owned.get();
        }
        if (bytes == nullptr)
            err = ENOMEM;
        else
            err = memory_.read(caller.pid, rec.data, bytes, rec.dataSize);
    }

    Lock lock(mutex_);
    if (err == 0)
        err = claim.err;
    if (err == 0 && channelOf(handle, Kind::Connection) != channel)
        err = EBADF; // detached meanwhile
    if (err == 0 && !channel->live)
        err = EPIPE;
    if (err == 0 && !allocateId(*channel, message->id))
        err = ENOBUFS;
    if (claim.answered || err != 0) {
        if (charged)
            refund(caller.uid, rec.dataSize);
        auto count = channel->perUser.find(caller.uid);
        if (count != channel->perUser.end() && --count->second == 0)
            channel->perUser.erase(count);
        if (!claim.answered) {
            waiting_.erase(token);
            sink_.replyError(token, err);
        }
        return shrinkScratch();
    }
    slot.key() = message->id;
    channel->messages.insert(std::move(slot));
    waiting_.at(token).message = message;

    // Offer it to the waiting receives in turn; one whose buffer cannot be
    // written fails with EFAULT and the next one is tried.
    bool delivered = false;
    while (!delivered && !channel->receivers.empty() && !message->erased &&
           message->sender != 0) {
        const Receiver receiver = channel->receivers.front();
        channel->receivers.pop_front();
        Claim taken;
        waiting_.at(receiver.token).claim = &taken;
        message->state = Message::State::Delivering;
        lock.unlock();
        const int wrote =
            memory_.write(receiver.pid, receiver.record.buffer, bytes,
                          smaller(message->size, receiver.record.bufferSize));
        lock.lock();
        delivered =
            wrote == 0 && taken.err == 0 && channel->live && !message->erased;
        waiting_.erase(receiver.token);
        if (delivered) {
            // The information word is the full size sent, so truncation
            // shows.
            zelkIoMsgReceive out = receiver.record;
            out.messageId = message->id;
            out.info = message->size;
            hold(*message, receiver.pid); // raised before it wakes
            message->serverTid = receiver.pid;
            Counters::add(counters_.bytes,
                          smaller(message->size, receiver.record.bufferSize));
            sink_.replyIoctl(receiver.token, &out, sizeof out);
        } else {
            sink_.replyError(receiver.token, taken.err != 0 ? taken.err
                                             : wrote != 0   ? EFAULT
                                                            : EBADF);
        }
    }

    if (!delivered && !message->erased && message->sender != 0) {
        // Nobody took it: it is queued, with data of its own.
        if (!charged)
            charged = charge(caller.uid, rec.dataSize);
        if (!charged) {
            err = ENOBUFS;
        } else if (!owned) {
            owned.reset(
                new (std::nothrow) unsigned char[size_t{rec.dataSize} + 1]);
            if (owned)
                memcpy(owned.get(), bytes, rec.dataSize);
            else
                err = ENOMEM;
        }
        if (err == 0) {
            message->data = std::move(owned);
            message->state = Message::State::Queued;
            enqueue(*channel, node);
            waiting_.at(token).claim = nullptr;
            return shrinkScratch();
        }
    }
    if (charged)
        refund(caller.uid, rec.dataSize);
    if (delivered) {
        message->state = Message::State::Received;
    } else if (!message->erased) {
        eraseMessage(*channel, *message); // no server saw it
    }
    // The sender waits for the reply unless it was answered meanwhile (an
    // interrupt: the message keeps its id) or its send ended.
    if (!claim.answered) {
        if (err == 0)
            err = claim.err != 0 ? claim.err : delivered ? 0 : EPIPE;
        if (err == 0) {
            waiting_.at(token).claim = nullptr;
        } else {
            message->sender = 0;
            waiting_.erase(token);
            sink_.replyError(token, err);
        }
    }
    shrinkScratch();
}

void Core::enqueue(Channel &channel, std::list<Message *> &node)
{
    Message &message = *node.front();
    // Searched from the back: with equal priorities (every sender under
    // SCHED_OTHER, say) the place is the end at once.
    auto place = channel.queue.end();
    while (place != channel.queue.begin() &&
           (*std::prev(place))->priority.level < message.priority.level)
        --place;
    message.place = node.begin();
    channel.queue.splice(place, node);
}

void Core::receive(Token token, uint64_t handle, const Caller &caller,
                   const void *in)
{
    zelkIoMsgReceive rec;
    if (!readRecord(in, rec))
        return sink_.replyError(token, EINVAL);
    std::list<Receiver> node{Receiver{token, caller.pid, rec, caller.uid, 0}};
    std::list<Message *> held; // the queue's first entry while delivering
    Claim claim;
    std::shared_ptr<Channel> channel;
    {
        Lock lock(mutex_);
        channel = channelOf(handle, Kind::Channel);
        if (!channel)
            return sink_.replyError(token, EBADF);
        waiting_.emplace(token, Waiting{channel, nullptr, {}, &claim});
    }
    int err = keep(token) ? EINTR : 0;

    Lock lock(mutex_);
    for (;;) {
        if (err == 0)
            err = claim.err;
        if (err == 0 && !channel->live)
            err = EBADF;
        if (err != 0) {
            waiting_.erase(token);
            return sink_.replyError(token, err);
        }
        if (channel->queue.empty()) {
            Waiting &self = waiting_.at(token);
            self.claim = nullptr;
            self.receiver = node.begin();
            node.front().sinceNs = clockNs(CLOCK_MONOTONIC);
            channel->receivers.splice(channel->receivers.end(), node);
            return;
        }
        std::shared_ptr<Message> message =
            channel->messages.at(channel->queue.front()->id);
        held.splice(held.begin(), channel->queue, channel->queue.begin());
        message->state = Message::State::Delivering;
        lock.unlock();
        const int wrote =
            memory_.write(caller.pid, rec.buffer, message->data.get(),
                          smaller(message->size, rec.bufferSize));
        lock.lock();
        if (wrote == 0 && claim.err == 0 && channel->live && !message->erased) {
            refund(message->uid, message->size);
            message->data.reset();
            message->state = Message::State::Received;
            waiting_.erase(token);
            hold(*message, caller.pid);
            message->serverTid = caller.pid;
            Counters::add(counters_.bytes,
                          smaller(message->size, rec.bufferSize));
            rec.messageId = message->id;
            rec.info = message->size;
            sink_.replyIoctl(token, &rec, sizeof rec);
            break;
        }
        // Not delivered: the message stays first in the queue, unless it
        // lost its sender or its channel meanwhile.
        if (message->erased || message->sender == 0) {
            refund(message->uid, message->size);
            message->data.reset();
            eraseMessage(*channel, *message);
        } else {
            // Back in front of the messages of its priority, which all
            // came after it.
            message->state = Message::State::Queued;
            auto place = channel->queue.begin();
            while (place != channel->queue.end() &&
                   (*place)->priority.level > message->priority.level)
                ++place;
            message->place = held.begin();
            channel->queue.splice(place, held);
        }
        if (wrote != 0)
            err = EFAULT;
    }
    lock.unlock();
    trimIfFreed();
}

void Core::reply(Token token, uint64_t handle, const Caller &caller,
                 const void *in)
{
    zelkIoMsgReply rec;
    if (!readRecord(in, rec))
        return sink_.replyError(token, EINVAL);
    if (rec.dataSize > limits_.maxMessage)
        return sink_.replyError(token, EMSGSIZE);
    std::shared_ptr<Channel> channel;
    std::shared_ptr<Message> message;
    Claim claim; // the sender's: its reply buffer is written
    Token sender = 0;
    {
        Lock lock(mutex_);
        channel = channelOf(handle, Kind::Channel);
        if (!channel)
            return sink_.replyError(token, EBADF);
        // Only the low 16 bits name the message: the library sign-extends
        // the id it splits from a receive id.
        auto found =
            channel->messages.find(static_cast<uint16_t>(rec.messageId));
        if (found == channel->messages.end() ||
            found->second->state != Message::State::Received)
            return sink_.replyError(token, ESRCH);
        message = found->second;
        if (message->sender == 0) {
            // Its sender is gone: this reply frees the id.
            eraseMessage(*channel, *message);
            return sink_.replyError(token, ESRCH);
        }
        sender = message->sender;
        message->state = Message::State::Replying;
        waiting_.at(sender).claim = &claim;
    }

    unsigned char *bytes =
        scratch(rec.dataSize, rec.data, message->record.reply);
    int readErr = bytes == nullptr ? ENOMEM : 0;
    if (readErr == 0)
        readErr = memory_.read(caller.pid, rec.data, bytes, rec.dataSize);
    int wrote = readErr;
    if (readErr == 0)
        wrote = memory_.write(message->pid, message->record.reply, bytes,
                              smaller(rec.dataSize, message->record.replySize));

    Lock lock(mutex_);
    // Neither side may hang on a reply that cannot be read.
    zelkIoMsgSend out = message->record;
    out.status = rec.status;
    waiting_.erase(sender);
    if (claim.err != 0)
        sink_.replyError(sender, claim.err);
    else if (wrote != 0)
        sink_.replyError(sender, EFAULT);
    else {
        Counters::add(counters_.bytes,
                      smaller(rec.dataSize, message->record.replySize));
        counters_.trip(clockNs(CLOCK_MONOTONIC) - message->sentNs);
        sink_.replyIoctl(sender, &out, sizeof out);
    }
    message->sender = 0;
    if (!message->erased)
        eraseMessage(*channel, *message);
    if (readErr != 0)
        sink_.replyError(token, readErr);
    else
        sink_.replyIoctl(token, &rec, sizeof rec);
    lock.unlock();
    shrinkScratch();
}

} // namespace zelkd
