// The status document: zelkd itself, channels, connections, blocked sends
// (longest-blocked first), per-user usage and the counters. Threads are named
// by the kernel's thread id; their process and scheduling come from /proc
// here, after the snapshot, not under the core's lock.
#include "status_json.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "json_text.h"
#include "proc_task.h"

namespace zelkd {

namespace {

// Appends JSON values; the caller writes the structure.
class Json {
public:
    std::string text;

    Json &raw(const char *s)
    {
        text += s;
        return *this;
    }
    // A key (with the comma before it unless first) and the colon.
    Json &key(const char *name)
    {
        comma();
        quoted(name);
        text += ':';
        return *this;
    }
    Json &open(char bracket)
    {
        comma();
        text += bracket;
        fresh_ = true;
        return *this;
    }
    Json &close(char bracket)
    {
        text += bracket;
        fresh_ = false;
        return *this;
    }
    Json &str(const std::string &s)
    {
        comma();
        quoted(s);
        return *this;
    }
    void quoted(const std::string &s) { appendJsonString(text, s); }
    Json &num(int64_t n)
    {
        comma();
        text += std::to_string(n);
        return *this;
    }
    Json &boolean(bool b)
    {
        comma();
        text += b ? "true" : "false";
        return *this;
    }
    Json &field(const char *name, int64_t n) { return key(name).num(n); }
    Json &field(const char *name, const std::string &s)
    {
        return key(name).str(s);
    }

private:
    void comma()
    {
        if (!fresh_ && !text.empty() && text.back() != ':')
            text += ',';
        fresh_ = false;
    }
    bool fresh_ = true;
};

// Resolves thread ids through /proc once per document.
class Tasks {
public:
    const TaskInfo &of(pid_t tid)
    {
        auto [it, added] = known_.try_emplace(tid);
        if (added && !readTask(tid, it->second))
            it->second.pid = 0; // gone
        return it->second;
    }

private:
    std::map<pid_t, TaskInfo> known_;
};

struct Blocked {
    const StatusChannel *channel;
    const StatusMessage *message;
};

void writeThread(Json &json, Tasks &tasks, pid_t tid, uid_t uid)
{
    json.field("pid", tasks.of(tid).pid).field("tid", tid).field("uid", uid);
}

void writeCounters(Json &json, const Counters &counters)
{
    json.key("counters").open('{');
    json.key("requests").open('{');
    for (int kind = 0; kind < Counters::kKinds; ++kind)
        json.field(requestKinds[kind],
                   static_cast<int64_t>(counters.requests[kind].load()));
    json.close('}');
    json.field("bytesMoved", static_cast<int64_t>(counters.bytes.load()));
    json.key("errors").open('{');
    for (int err = 1; err < Counters::kErrors; ++err) {
        const uint64_t n = counters.errors[err].load();
        if (n == 0)
            continue;
        const char *name = strerrorname_np(err);
        json.field(name != nullptr ? name : std::to_string(err).c_str(),
                   static_cast<int64_t>(n));
    }
    if (const uint64_t other = counters.errors[0].load(); other != 0)
        json.field("other", static_cast<int64_t>(other));
    json.close('}');
    json.key("roundTrip").open('[');
    for (int bucket = 0; bucket < Counters::kBuckets; ++bucket) {
        const uint64_t n = counters.roundTrip[bucket].load();
        if (n == 0)
            continue;
        json.open('{');
        if (bucket + 1 < Counters::kBuckets)
            json.field("belowUs", int64_t{1} << bucket);
        else
            json.key("belowUs").raw("null");
        json.field("count", static_cast<int64_t>(n)).close('}');
    }
    json.close(']').close('}');
}

} // namespace

std::string statusJson(const CoreStatus &status, const Counters &counters,
                       const DaemonInfo &daemon, const Viewer &viewer)
{
    Tasks tasks;
    Json json;
    const int64_t now = status.nowNs;
    auto own = [&](uid_t uid) { return viewer.all || uid == viewer.uid; };
    uint64_t hiddenChannels = 0, hiddenSends = 0, hiddenReceivers = 0,
             hiddenConnections = 0;

    json.open('{').field("schema", 1);
    json.key("zelkd").open('{');
    json.field("version", daemon.version).field("pid", daemon.pid);
    json.field("device", daemon.device);
    json.field("uptimeNs", now - daemon.startedNs);
    json.key("policyFile");
    if (status.policyFile.empty())
        json.raw("null");
    else
        json.str(status.policyFile);
    json.key("limits").open('{');
    json.field("maxMessage", daemon.limits.maxMessage);
    json.field("maxQueued", static_cast<int64_t>(daemon.limits.maxQueued));
    json.close('}').close('}');
    json.key("viewer").open('{').field("uid", viewer.uid);
    json.key("seesAll").boolean(viewer.all).close('}');

    std::vector<Blocked> blocked;
    json.key("channels").open('[');
    for (const StatusChannel &channel : status.channels) {
        const bool mine = own(channel.creatorUid);
        for (const StatusMessage &message : channel.messages) {
            if (mine || own(message.uid))
                blocked.push_back({&channel, &message});
            else
                ++hiddenSends;
        }
        for (const StatusReceiver &receiver : channel.receivers)
            if (!mine && !own(receiver.uid))
                ++hiddenReceivers;
        if (!mine) {
            ++hiddenChannels;
            continue;
        }
        json.open('{').field("name", channel.name);
        json.field("creatorUid", channel.creatorUid);
        json.field("creatorPid", channel.creatorPid);
        json.field("createdNs", channel.createdNs);
        int64_t queued = 0;
        for (const StatusMessage &message : channel.messages)
            queued += message.received ? 0 : 1;
        json.field("queuedMessages", queued);
        json.field("queuedBytes", static_cast<int64_t>(channel.queuedBytes));
        json.key("receivers").open('[');
        for (const StatusReceiver &receiver : channel.receivers) {
            json.open('{');
            writeThread(json, tasks, receiver.tid, receiver.uid);
            json.field("waitingNs", now - receiver.sinceNs).close('}');
        }
        json.close(']');
        json.key("received").open('[');
        for (const StatusMessage &message : channel.messages) {
            if (!message.received)
                continue;
            json.open('{').field("messageId", message.id);
            json.field("serverPid", tasks.of(message.serverTid).pid);
            json.field("serverTid", message.serverTid);
            json.field("senderTid", message.tid);
            json.field("sentNs", now - message.sentNs).close('}');
        }
        json.close(']').close('}');
    }
    json.close(']');

    json.key("connections").open('[');
    for (const StatusConnection &connection : status.connections) {
        bool visible = own(connection.uid);
        for (const StatusChannel &channel : status.channels)
            if (channel.name == connection.channel && own(channel.creatorUid))
                visible = true;
        if (!visible) {
            ++hiddenConnections;
            continue;
        }
        json.open('{');
        writeThread(json, tasks, connection.pid, connection.uid);
        json.field("channel", connection.channel);
        json.key("live").boolean(connection.live).close('}');
    }
    json.close(']');

    std::stable_sort(blocked.begin(), blocked.end(),
                     [](const Blocked &a, const Blocked &b) {
                         return a.message->sentNs < b.message->sentNs;
                     });
    json.key("blockedSends").open('[');
    for (const Blocked &send : blocked) {
        const StatusMessage &message = *send.message;
        const TaskInfo &task = tasks.of(message.tid);
        json.open('{').field("channel", send.channel->name);
        writeThread(json, tasks, message.tid, message.uid);
        json.field("messageId", message.id).field("size", message.size);
        json.field("replySize", message.replySize);
        json.field("state", message.received ? "received" : "queued");
        json.field("serverTid", message.received ? message.serverTid : 0);
        json.field("blockedNs", now - message.sentNs);
        json.field("policy", policyName(task.policy));
        json.field("priority", task.rtPriority).close('}');
    }
    json.close(']');

    json.key("hidden").open('{');
    json.field("channels", static_cast<int64_t>(hiddenChannels));
    json.field("blockedSends", static_cast<int64_t>(hiddenSends));
    json.field("receivers", static_cast<int64_t>(hiddenReceivers));
    json.field("connections", static_cast<int64_t>(hiddenConnections));
    json.close('}');

    json.key("users").open('[');
    for (const UserUsage &usage : status.users) {
        if (!own(usage.uid))
            continue;
        json.open('{').field("uid", usage.uid);
        json.field("channels", static_cast<int64_t>(usage.channels));
        json.field("queuedBytes", static_cast<int64_t>(usage.queuedBytes));
        json.field("blockedSends", static_cast<int64_t>(usage.blockedSends));
        auto bound = [&](const char *name, uint64_t value) {
            json.key(name);
            if (value == 0)
                json.raw("null");
            else
                json.num(static_cast<int64_t>(value));
        };
        bound("maxChannels", usage.maxChannels);
        bound("maxQueuedBytes", usage.maxQueuedBytes);
        bound("maxBlockedSends", usage.maxBlockedSends);
        json.close('}');
    }
    json.close(']');
    json.field("queuedBytes", static_cast<int64_t>(status.queuedBytes));
    writeCounters(json, counters);
    json.close('}');
    json.text += '\n';
    return json.text;
}

} // namespace zelkd
