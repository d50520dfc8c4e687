// The core's descriptors and names: open and release, create, attach,
// destroy and detach, the memory probe, interrupts and shutdown, and the
// dispatch of each request after its sizes are checked.
#include "core.h"

#include <cstring>

#include "core_state.h"
#include "log.h"

namespace zelkd {

using namespace zelk::protocol;

namespace {

// A name field holds 1 to 255 bytes and a terminator.
bool validName(const char (&field)[kNameBytes])
{
    return field[0] != '\0' && memchr(field, '\0', kNameBytes) != nullptr;
}

// The request's position in requestKinds[].
int requestKind(uint32_t code)
{
    switch (code) {
    case ZELK_IOC_CHANNEL_CREATE:
        return 0;
    case ZELK_IOC_CHANNEL_DESTROY:
        return 1;
    case ZELK_IOC_MSG_RECEIVE:
        return 2;
    case ZELK_IOC_MSG_REPLY:
        return 3;
    case ZELK_IOC_CONNECT_ATTACH:
        return 4;
    case ZELK_IOC_CONNECT_DETACH:
        return 5;
    case ZELK_IOC_MSG_SEND:
        return 6;
    case ZELK_IOC_MEM_PROBE:
        return 7;
    default:
        return Counters::kKinds - 1;
    }
}

} // namespace

Core::Core(ReplySink &sink, MemoryAccess &memory, const Limits &limits)
    : sink_(sink, counters_), memory_(memory), limits_(limits)
{
}

Core::~Core() = default;

uint64_t Core::open()
{
    const uint64_t handle = nextHandle_++;
    descriptors_.emplace(handle, Descriptor{});
    return handle;
}

void Core::release(uint64_t handle)
{
    auto it = descriptors_.find(handle);
    if (it == descriptors_.end())
        return;
    Descriptor &desc = it->second;
    if (desc.kind == Kind::Channel)
        endChannel(*desc.channel);
    else if (desc.kind == Kind::Connection)
        endConnection(*desc.channel, handle, EBADF);
    descriptors_.erase(it);
}

void Core::ioctl(Token token, uint64_t handle, const Caller &caller,
                 uint32_t code, const void *in, size_t inSize, size_t outSize)
{
    const int kind = requestKind(code);
    ZELK_PROBE(zelkd, request_start, token, caller.pid, kind);
    Counters::add(counters_.requests[kind]);
    logLine(LogLevel::Debug, "pid %d%s: %s (0x%08x) on descriptor %llu",
            static_cast<int>(caller.pid), caller.compat ? " (32-bit)" : "",
            requestKinds[kind], code, static_cast<unsigned long long>(handle));
    auto it = descriptors_.find(handle);
    if (it == descriptors_.end())
        return sink_.replyError(token, EBADF);
    if (kind == Counters::kKinds - 1)
        return sink_.replyError(token, ENOTTY);
    // The kernel copies exactly the record size that the code carries, so
    // the sizes can only differ when something else sent the request.
    const size_t record = _IOC_SIZE(code);
    const size_t wantIn = (_IOC_DIR(code) & _IOC_WRITE) ? record : 0;
    const size_t wantOut = (_IOC_DIR(code) & _IOC_READ) ? record : 0;
    if (inSize != wantIn || outSize != wantOut)
        return sink_.replyError(token, EINVAL);

    Descriptor &desc = it->second;
    switch (code) {
    case ZELK_IOC_CHANNEL_CREATE:
        return create(token, desc, caller, in);
    case ZELK_IOC_CHANNEL_DESTROY:
        return destroy(token, desc);
    case ZELK_IOC_MSG_RECEIVE:
        return receive(token, desc, caller, in);
    case ZELK_IOC_MSG_REPLY:
        return reply(token, desc, caller, in);
    case ZELK_IOC_CONNECT_ATTACH:
        return attach(token, desc, caller, in);
    case ZELK_IOC_CONNECT_DETACH:
        return detach(token, desc, handle);
    case ZELK_IOC_MSG_SEND:
        return send(token, desc, handle, caller, in);
    case ZELK_IOC_MEM_PROBE:
        return probe(token, caller, in);
    default:
        return sink_.replyError(token, ENOTTY);
    }
}

void Core::create(Token token, Descriptor &desc, const Caller &caller,
                  const void *in)
{
    zelkIoChannelCreate rec;
    if (!readRecord(in, rec) || rec.reserved != 0 || !validName(rec.name))
        return sink_.replyError(token, EINVAL);
    if (desc.kind != Kind::Unused)
        return sink_.replyError(token, EBADF);
    std::string name(rec.name);
    if (names_.count(name) != 0)
        return sink_.replyError(token, EEXIST);
    auto channel = std::make_shared<Channel>();
    channel->name = name;
    channel->creatorUid = caller.uid;
    channel->creatorPid = caller.pid;
    channel->createdNs = clockNs(CLOCK_REALTIME);
    names_.emplace(std::move(name), channel);
    desc.kind = Kind::Channel;
    desc.channel = std::move(channel);
    desc.pid = caller.pid;
    desc.uid = caller.uid;
    logLine(LogLevel::Debug, "channel \"%s\" created", rec.name);
    sink_.replyIoctl(token, nullptr, 0);
}

void Core::attach(Token token, Descriptor &desc, const Caller &caller,
                  const void *in)
{
    zelkIoConnectAttach rec;
    if (!readRecord(in, rec) || !validName(rec.name))
        return sink_.replyError(token, EINVAL);
    if (desc.kind != Kind::Unused)
        return sink_.replyError(token, EBADF);
    auto found = names_.find(rec.name);
    if (found == names_.end())
        return sink_.replyError(token, ENOENT);
    desc.kind = Kind::Connection;
    desc.channel = found->second;
    desc.pid = caller.pid;
    desc.uid = caller.uid;
    sink_.replyIoctl(token, nullptr, 0);
}

void Core::destroy(Token token, Descriptor &desc)
{
    if (desc.kind != Kind::Channel)
        return sink_.replyError(token, EBADF);
    endChannel(*desc.channel);
    desc.kind = Kind::Ended;
    desc.channel.reset();
    sink_.replyIoctl(token, nullptr, 0);
}

void Core::detach(Token token, Descriptor &desc, uint64_t handle)
{
    if (desc.kind != Kind::Connection)
        return sink_.replyError(token, EBADF);
    endConnection(*desc.channel, handle, EBADF);
    desc.kind = Kind::Ended;
    desc.channel.reset();
    sink_.replyIoctl(token, nullptr, 0);
}

void Core::probe(Token token, const Caller &caller, const void *in)
{
    zelkIoMemProbe rec;
    if (!readRecord(in, rec) || rec.length == 0 || rec.length > kProbeChunkMax)
        return sink_.replyError(token, EINVAL);
    // Bit 0 asks for read access, bit 1 for write; the rest and the flag
    // select nothing.
    const int err = memory_.probe(caller.pid, rec.address, rec.length,
                                  (rec.mode & 1u) != 0, (rec.mode & 2u) != 0);
    if (err != 0)
        return sink_.replyError(token, err);
    sink_.replyIoctl(token, nullptr, 0);
}

void Core::interrupt(Token token)
{
    auto it = waiting_.find(token);
    if (it == waiting_.end())
        return; // answered already
    Waiting waiting = it->second;
    if (waiting.message != nullptr)
        return dropMessage(*waiting.channel, *waiting.message, EINTR);
    waiting.channel->receivers.erase(waiting.receiver);
    waiting_.erase(it);
    sink_.replyError(token, EINTR);
}

void Core::shutdown(int err)
{
    for (auto &[name, channel] : names_) {
        channel->live = false;
        channel->queue.clear();
        channel->receivers.clear();
        channel->messages.clear();
    }
    names_.clear();
    queuedBytes_ = 0;
    // Answer last: the table is consistent whatever the sink does.
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (const auto &[token, where] : waiting)
        sink_.replyError(token, err);
}

void Core::endChannel(Channel &channel)
{
    channel.live = false;
    auto named = names_.find(channel.name);
    if (named != names_.end() && named->second.get() == &channel)
        names_.erase(named);
    while (!channel.messages.empty())
        dropMessage(channel, *channel.messages.begin()->second, EPIPE);
    while (!channel.receivers.empty()) {
        const Token token = channel.receivers.front().token;
        channel.receivers.pop_front();
        waiting_.erase(token);
        sink_.replyError(token, EBADF);
    }
}

void Core::endConnection(Channel &channel, uint64_t handle, int err)
{
    for (auto it = channel.messages.begin(); it != channel.messages.end();) {
        Message &message = *it->second;
        ++it; // dropMessage erases the current entry
        if (message.connection == handle)
            dropMessage(channel, message, err);
    }
}

void Core::dropMessage(Channel &channel, Message &message, int err)
{
    if (!message.received) {
        channel.queue.erase(message.place);
        queuedBytes_ -= message.size;
    }
    const Token sender = message.sender;
    waiting_.erase(sender);
    channel.messages.erase(message.id);
    if (err != 0)
        sink_.replyError(sender, err);
}

} // namespace zelkd
