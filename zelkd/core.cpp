// The core's descriptors and names: open and release, create, attach,
// destroy and detach, the memory probe, keeping requests and their
// interrupts, and the dispatch of each request after its sizes are checked.
#include "core.h"

#include <cstring>
#include <ctime>

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

// The request whose keep() this thread is in, and whether its interrupt
// arrived meanwhile (ReplySink::keep calls interrupt() at once for a caller
// interrupted already; the request must not be answered from inside it).
thread_local Token keeping = 0;
thread_local bool keptInterrupted = false;

} // namespace

Core::Core(ReplySink &sink, MemoryAccess &memory, const Limits &limits,
           Scheduling *scheduling)
    : sink_(sink, counters_), memory_(memory), limits_(limits), inheritance_(scheduling)
{
}

Core::~Core() = default;

size_t Core::liveChannels() const
{
    Lock lock(mutex_);
    return names_.size();
}

size_t Core::waitingRequests() const
{
    Lock lock(mutex_);
    return waiting_.size();
}

uint64_t Core::queuedBytes() const
{
    Lock lock(mutex_);
    return queuedBytes_;
}

uint64_t Core::open()
{
    Lock lock(mutex_);
    const uint64_t handle = nextHandle_++;
    descriptors_.emplace(handle, Descriptor{});
    return handle;
}

void Core::release(uint64_t handle)
{
    {
        Lock lock(mutex_);
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
    trimIfFreed();
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
    // A caller outside zelkd's pid namespace arrives with pid 0: its
    // memory and groups cannot be reached, so it is served nothing.
    if (caller.pid <= 0)
        return sink_.replyError(token, EACCES);
    {
        Lock lock(mutex_);
        int err = 0;
        if (stopped_)
            err = ENOTCONN;
        else if (descriptors_.count(handle) == 0)
            err = EBADF;
        if (err != 0)
            return sink_.replyError(token, err);
    }
    if (kind == Counters::kKinds - 1)
        return sink_.replyError(token, ENOTTY);
    // The kernel copies exactly the record size that the code carries, so
    // the sizes can only differ when something else sent the request.
    const size_t record = _IOC_SIZE(code);
    const size_t wantIn = (_IOC_DIR(code) & _IOC_WRITE) ? record : 0;
    const size_t wantOut = (_IOC_DIR(code) & _IOC_READ) ? record : 0;
    if (inSize != wantIn || outSize != wantOut)
        return sink_.replyError(token, EINVAL);

    switch (code) {
    case ZELK_IOC_CHANNEL_CREATE:
        return create(token, handle, caller, in);
    case ZELK_IOC_CHANNEL_DESTROY:
        return destroy(token, handle);
    case ZELK_IOC_MSG_RECEIVE:
        return receive(token, handle, caller, in);
    case ZELK_IOC_MSG_REPLY:
        return reply(token, handle, caller, in);
    case ZELK_IOC_CONNECT_ATTACH:
        return attach(token, handle, caller, in);
    case ZELK_IOC_CONNECT_DETACH:
        return detach(token, handle);
    case ZELK_IOC_MSG_SEND:
        return send(token, handle, caller, in);
    case ZELK_IOC_MEM_PROBE:
        return probe(token, caller, in);
    default:
        return sink_.replyError(token, ENOTTY);
    }
}

bool Core::permitted(PolicyKind kind, const std::string &name,
                     const Caller &caller) const
{
    if (policy_ == nullptr)
        return true;
    const std::shared_ptr<const Policy> policy = policy_->get();
    if (policy == nullptr ||
        policy->allows(kind, name, caller.uid, caller.gid,
                       [&] { return processGroups(caller.pid); }))
        return true;
    logLine(LogLevel::Debug, "pid %d (uid %u): %s \"%s\" refused by the policy",
            static_cast<int>(caller.pid), static_cast<unsigned>(caller.uid),
            kind == PolicyKind::Own ? "create" : "attach", name.c_str());
    return false;
}

std::shared_ptr<Core::Channel> Core::channelOf(uint64_t handle, Kind kind)
{
    auto it = descriptors_.find(handle);
    if (it == descriptors_.end() || it->second.kind != kind)
        return nullptr;
    return it->second.channel;
}

void Core::create(Token token, uint64_t handle, const Caller &caller,
                  const void *in)
{
    zelkIoChannelCreate rec;
    if (!readRecord(in, rec) || rec.reserved != 0 || !validName(rec.name))
        return sink_.replyError(token, EINVAL);
    if (!permitted(PolicyKind::Own, rec.name, caller))
        return sink_.replyError(token, EACCES);
    auto channel = std::make_shared<Channel>();
    channel->name = rec.name;
    channel->creatorUid = caller.uid;
    channel->creatorPid = caller.pid;
    channel->createdNs = clockNs(CLOCK_REALTIME);
    {
        Lock lock(mutex_);
        auto it = descriptors_.find(handle);
        if (it == descriptors_.end() || it->second.kind != Kind::Unused)
            return sink_.replyError(token, EBADF);
        auto taken = names_.find(channel->name);
        if (taken != names_.end()) {
            logLine(LogLevel::Debug,
                    "pid %d (uid %u): create \"%s\" refused: created by pid "
                    "%d (uid %u)",
                    static_cast<int>(caller.pid),
                    static_cast<unsigned>(caller.uid), rec.name,
                    static_cast<int>(taken->second->creatorPid),
                    static_cast<unsigned>(taken->second->creatorUid));
            return sink_.replyError(token, EEXIST);
        }
        Usage &usage = users_[caller.uid];
        if (usage.channels >= limits_.maxUserChannels) {
            if (usage.channels == 0 && usage.queued == 0)
                users_.erase(caller.uid);
            return sink_.replyError(token, ENOBUFS);
        }
        names_.emplace(channel->name, channel);
        ++usage.channels;
        it->second.kind = Kind::Channel;
        it->second.channel = std::move(channel);
        it->second.pid = caller.pid;
        it->second.uid = caller.uid;
    }
    logLine(LogLevel::Debug, "channel \"%s\" created by pid %d (uid %u)",
            rec.name, static_cast<int>(caller.pid),
            static_cast<unsigned>(caller.uid));
    sink_.replyIoctl(token, nullptr, 0);
}

void Core::attach(Token token, uint64_t handle, const Caller &caller,
                  const void *in)
{
    zelkIoConnectAttach rec;
    if (!readRecord(in, rec) || !validName(rec.name))
        return sink_.replyError(token, EINVAL);
    if (!permitted(PolicyKind::Attach, rec.name, caller))
        return sink_.replyError(token, EACCES);
    Lock lock(mutex_);
    auto it = descriptors_.find(handle);
    if (it == descriptors_.end() || it->second.kind != Kind::Unused)
        return sink_.replyError(token, EBADF);
    auto found = names_.find(rec.name);
    if (found == names_.end())
        return sink_.replyError(token, ENOENT);
    it->second.kind = Kind::Connection;
    it->second.channel = found->second;
    it->second.pid = caller.pid;
    it->second.uid = caller.uid;
    sink_.replyIoctl(token, nullptr, 0);
}

void Core::destroy(Token token, uint64_t handle)
{
    {
        Lock lock(mutex_);
        auto it = descriptors_.find(handle);
        if (it == descriptors_.end() || it->second.kind != Kind::Channel)
            return sink_.replyError(token, EBADF);
        endChannel(*it->second.channel);
        it->second.kind = Kind::Ended;
        it->second.channel.reset();
        sink_.replyIoctl(token, nullptr, 0);
    }
    trimIfFreed();
}

void Core::detach(Token token, uint64_t handle)
{
    {
        Lock lock(mutex_);
        auto it = descriptors_.find(handle);
        if (it == descriptors_.end() || it->second.kind != Kind::Connection)
            return sink_.replyError(token, EBADF);
        endConnection(*it->second.channel, handle, EBADF);
        it->second.kind = Kind::Ended;
        it->second.channel.reset();
        sink_.replyIoctl(token, nullptr, 0);
    }
    trimIfFreed();
}

void Core::probe(Token token, const Caller &caller, const void *in)
{
    zelkIoMemProbe rec;
    if (!readRecord(in, rec) || rec.length == 0 || rec.length > kProbeChunkMax)
        return sink_.replyError(token, EINVAL);
    // Bit 0 asks for read access, bit 1 for write; the rest and the flag
    // select nothing. No lock: the probe reads only the caller's mappings.
    const int err = memory_.probe(caller.pid, rec.address, rec.length,
                                  (rec.mode & 1u) != 0, (rec.mode & 2u) != 0);
    if (err != 0)
        return sink_.replyError(token, err);
    sink_.replyIoctl(token, nullptr, 0);
}

bool Core::keep(Token token)
{
    keeping = token;
    keptInterrupted = false;
    sink_.keep(token);
    keeping = 0;
    return keptInterrupted;
}

void Core::interrupt(Token token)
{
    if (token == keeping) {
        keptInterrupted = true; // answered by the thread in keep()
        return;
    }
    {
        Lock lock(mutex_);
        auto it = waiting_.find(token);
        if (it == waiting_.end())
            return; // answered already
        Waiting &waiting = it->second;
        if (waiting.claim != nullptr && !waiting.claim->early) {
            // Its caller's memory is being written: the writer answers.
            if (waiting.claim->err == 0)
                waiting.claim->err = EINTR;
            return;
        }
        if (waiting.message && waiting.message->sender == token) {
            waiting.message->sender = 0;
            abandon(*waiting.channel, *waiting.message);
        } else if (waiting.claim == nullptr && !waiting.message) {
            waiting.channel->receivers.erase(waiting.receiver);
        }
        if (waiting.claim != nullptr)
            waiting.claim->answered = true;
        waiting_.erase(it);
        sink_.replyError(token, EINTR);
    }
    trimIfFreed();
}

} // namespace zelkd
