// The core's status snapshot: a copy of every channel, waiting request and
// connection as plain records, and the per-user usage derived from it. The
// snapshot holds no pointer into the core, so it is rendered after the core
// is free for requests again.
#include <map>

#include "core.h"
#include "core_state.h"

namespace zelkd {

int64_t clockNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void Core::status(CoreStatus &out) const
{
    Lock lock(mutex_);
    out.nowNs = clockNs(CLOCK_MONOTONIC);
    out.queuedBytes = queuedBytes_;
    out.descriptors = descriptors_.size();
    out.channels.clear();
    out.connections.clear();
    out.channels.reserve(names_.size());
    for (const auto &[name, channel] : names_) {
        StatusChannel &shown = out.channels.emplace_back();
        shown.name = name;
        shown.creatorUid = channel->creatorUid;
        shown.creatorPid = channel->creatorPid;
        shown.createdNs = channel->createdNs;
        auto received = [](const Message &message) {
            return message.state == Message::State::Received ||
                   message.state == Message::State::Replying;
        };
        auto add = [&](const Message &message) {
            shown.messages.push_back({message.id, message.pid, message.uid,
                                      message.size, message.record.replySize,
                                      message.sentNs, received(message),
                                      message.serverTid});
        };
        for (const Message *message : channel->queue) {
            shown.queuedBytes += message->size;
            add(*message);
        }
        for (const auto &[id, message] : channel->messages)
            if (received(*message))
                add(*message);
        for (const Receiver &receiver : channel->receivers)
            shown.receivers.push_back(
                {receiver.pid, receiver.uid, receiver.sinceNs});
    }
    for (const auto &[handle, desc] : descriptors_)
        if (desc.kind == Kind::Connection)
            out.connections.push_back(
                {desc.pid, desc.uid, desc.channel->name, desc.channel->live});
}

std::vector<UserUsage> usageOf(const CoreStatus &status)
{
    std::map<uid_t, UserUsage> users;
    auto of = [&](uid_t uid) -> UserUsage & {
        UserUsage &usage = users[uid];
        usage.uid = uid;
        return usage;
    };
    for (const StatusChannel &channel : status.channels) {
        ++of(channel.creatorUid).channels;
        for (const StatusMessage &message : channel.messages) {
            UserUsage &usage = of(message.uid);
            ++usage.blockedSends;
            if (!message.received)
                usage.queuedBytes += message.size;
        }
    }
    std::vector<UserUsage> out;
    for (const auto &[uid, usage] : users)
        out.push_back(usage);
    return out;
}

} // namespace zelkd
