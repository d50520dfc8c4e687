// The core's endings and what users hold: failing a waiting request, the
// end of a channel or connection and of the whole device, taking messages
// out, and the queued-data accounting per user, with the heap given back
// after large releases. Called with Core::mutex_ held (but trimIfFreed).
#include "core.h"

#include <malloc.h>

#include "core_state.h"

namespace zelkd {

namespace {

// Heap released since the last trim before the heap is given back.
constexpr uint64_t kTrimAfter = 32u << 20;

} // namespace

void Core::fail(Token token, int err)
{
    auto it = waiting_.find(token);
    if (it == waiting_.end())
        return;
    if (it->second.claim != nullptr) {
        if (it->second.claim->err == 0)
            it->second.claim->err = err;
        return;
    }
    waiting_.erase(it);
    sink_.replyError(token, err);
}

void Core::shutdown(int err)
{
    Lock lock(mutex_);
    stopped_ = true;
    inheritance_.releaseAll();
    for (auto &[name, channel] : names_) {
        channel->live = false;
        for (Message *message : channel->queue)
            message->data.reset();
        channel->queue.clear();
        channel->receivers.clear();
        for (auto &[id, message] : channel->messages)
            message->erased = true;
        channel->messages.clear();
        channel->perUser.clear();
    }
    names_.clear();
    queuedBytes_ = 0;
    users_.clear();
    // Requests that a thread works on are answered by that thread.
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->second.claim != nullptr) {
            it->second.claim->err = err;
            ++it;
            continue;
        }
        sink_.replyError(it->first, err);
        it = waiting_.erase(it);
    }
}

void Core::endChannel(Channel &channel)
{
    channel.live = false;
    auto named = names_.find(channel.name);
    if (named != names_.end() && named->second.get() == &channel) {
        names_.erase(named);
        auto user = users_.find(channel.creatorUid);
        if (user != users_.end() && --user->second.channels == 0 &&
            user->second.queued == 0)
            users_.erase(user);
        freed_ += sizeof channel + channel.name.size();
    }
    while (!channel.messages.empty())
        discard(channel, *channel.messages.begin()->second, EPIPE);
    while (!channel.receivers.empty()) {
        const Token token = channel.receivers.front().token;
        channel.receivers.pop_front();
        waiting_.erase(token);
        sink_.replyError(token, EBADF);
    }
}

void Core::endConnection(Channel &channel, uint64_t handle, int err)
{
    std::vector<std::shared_ptr<Message>> sent;
    for (auto &[id, message] : channel.messages)
        if (message->connection == handle && message->sender != 0)
            sent.push_back(message);
    for (auto &message : sent) {
        const Token sender = message->sender;
        message->sender = 0;
        fail(sender, err);
        abandon(channel, *message);
    }
}

void Core::discard(Channel &channel, Message &message, int err)
{
    if (message.sender != 0) {
        const Token sender = message.sender;
        message.sender = 0;
        fail(sender, err);
    }
    if (message.state == Message::State::Queued) {
        channel.queue.erase(message.place);
        refund(message.uid, message.size);
        message.data.reset();
    }
    eraseMessage(channel, message);
}

void Core::abandon(Channel &channel, Message &message)
{
    // A queued message was seen by no server: it goes, with its id. Any
    // other keeps its id until the server replies or the channel ends, so
    // that a late reply cannot reach whoever gets the id next.
    if (message.state == Message::State::Queued)
        discard(channel, message, 0);
    else
        release(message); // its sender's priority ends with the sender
}

void Core::hold(Message &message, pid_t holder)
{
    if (message.sender == 0)
        return; // its sender is gone already: nothing to inherit
    message.holder = holder;
    inheritance_.hold(holder, message.priority);
}

void Core::release(Message &message)
{
    if (message.holder == 0)
        return;
    inheritance_.release(message.holder, message.priority);
    message.holder = 0;
}

void Core::eraseMessage(Channel &channel, Message &message)
{
    if (message.erased)
        return;
    message.erased = true;
    release(message);
    auto count = channel.perUser.find(message.uid);
    if (count != channel.perUser.end() && --count->second == 0)
        channel.perUser.erase(count);
    channel.messages.erase(message.id); // may free message: last
}

bool Core::charge(uid_t uid, uint64_t size)
{
    if (queuedBytes_ + size > limits_.maxQueued)
        return false;
    Usage &usage = users_[uid];
    if (usage.queued + size > limits_.maxUserQueued) {
        if (usage.queued == 0 && usage.channels == 0)
            users_.erase(uid);
        return false;
    }
    usage.queued += size;
    queuedBytes_ += size;
    return true;
}

void Core::refund(uid_t uid, uint64_t size)
{
    if (stopped_)
        return; // shutdown cleared the counts
    queuedBytes_ -= size;
    freed_ += size;
    auto user = users_.find(uid);
    if (user == users_.end())
        return; // cleared by shutdown
    user->second.queued -= size;
    if (user->second.queued == 0 && user->second.channels == 0)
        users_.erase(user);
}

void Core::trimIfFreed()
{
    if (freed_.load(std::memory_order_relaxed) < kTrimAfter)
        return;
    freed_.store(0, std::memory_order_relaxed);
    malloc_trim(0);
}

} // namespace zelkd
