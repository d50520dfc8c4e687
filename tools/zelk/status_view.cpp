// `zelk status` as tables: zelkd itself, blocked sends (longest first),
// waiting receives, channels, connections, per-user usage and counters.
#include <ctime>

#include "table.h"
#include "views.h"

namespace zelktool {

namespace {

std::string n(int64_t v)
{
    return std::to_string(v);
}

std::string bound(const Value &v)
{
    return v.isNull() ? "-" : bytes(v.num());
}

std::string wallClock(int64_t ns)
{
    const time_t seconds = static_cast<time_t>(ns / 1000000000);
    tm local{};
    char text[32];
    if (localtime_r(&seconds, &local) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return n(ns);
    return text;
}

} // namespace

void printStatus(FILE *out, const Value &s)
{
    const Value &d = s["zelkd"];
    fprintf(out, "zelkd %s, pid %lld, up %s, device %s, policy %s\n",
            d["version"].str().c_str(), static_cast<long long>(d["pid"].num()),
            duration(d["uptimeNs"].num()).c_str(),
            printable(d["device"].str()).c_str(),
            d["policyFile"].isNull()
                ? "none"
                : printable(d["policyFile"].str()).c_str());
    fprintf(out, "limits: message %s, queued %s; queued now %s\n\n",
            bytes(d["limits"]["maxMessage"].num()).c_str(),
            bytes(d["limits"]["maxQueued"].num()).c_str(),
            bytes(s["queuedBytes"].num()).c_str());

    Table sends({"FOR", "CHANNEL", "PID", "TID", "MSG", "SIZE", "STATE",
                 "SERVER", "PRIO"});
    for (const Value &b : s["blockedSends"].items)
        sends.add({duration(b["blockedNs"].num()),
                   printable(b["channel"].str()), n(b["pid"].num()),
                   n(b["tid"].num()), n(b["messageId"].num()),
                   bytes(b["size"].num()), b["state"].str(),
                   b["serverTid"].num() != 0 ? n(b["serverTid"].num()) : "-",
                   b["policy"].str() + " " + n(b["priority"].num())});
    sends.print(out, "Blocked sends, longest first:");

    Table receives({"FOR", "CHANNEL", "PID", "TID"});
    Table channels({"CHANNEL", "CREATOR", "CREATED", "QUEUED", "BYTES",
                    "RECEIVING", "SERVING"});
    for (const Value &c : s["channels"].items) {
        const std::string name = printable(c["name"].str());
        for (const Value &r : c["receivers"].items)
            receives.add({duration(r["waitingNs"].num()), name,
                          n(r["pid"].num()), n(r["tid"].num())});
        std::string serving;
        for (const Value &m : c["received"].items)
            serving += (serving.empty() ? "" : " ") + n(m["messageId"].num()) +
                       "@" + n(m["serverTid"].num());
        channels.add({name,
                      "uid " + n(c["creatorUid"].num()) + " pid " +
                          n(c["creatorPid"].num()),
                      wallClock(c["createdNs"].num()),
                      n(c["queuedMessages"].num()),
                      bytes(c["queuedBytes"].num()),
                      n(static_cast<int64_t>(c["receivers"].items.size())),
                      serving.empty() ? "-" : serving});
    }
    fputc('\n', out);
    receives.print(out, "Waiting in receive:");
    fputc('\n', out);
    channels.print(out, "Channels (SERVING: message@server thread):");

    Table connections({"PID", "TID", "UID", "CHANNEL"});
    for (const Value &c : s["connections"].items)
        connections.add({n(c["pid"].num()), n(c["tid"].num()),
                         n(c["uid"].num()),
                         printable(c["channel"].str()) +
                             (c["live"].boolean ? "" : " (ended)")});
    fputc('\n', out);
    connections.print(out, "Connections:");

    Table users({"UID", "CHANNELS", "QUEUED", "SENDS"});
    for (const Value &u : s["users"].items)
        users.add(
            {n(u["uid"].num()),
             n(u["channels"].num()) + "/" +
                 (u["maxChannels"].isNull() ? "-" : n(u["maxChannels"].num())),
             bytes(u["queuedBytes"].num()) + "/" + bound(u["maxQueuedBytes"]),
             n(u["blockedSends"].num()) + "/" +
                 (u["maxBlockedSends"].isNull()
                      ? "-"
                      : n(u["maxBlockedSends"].num()))});
    fputc('\n', out);
    users.print(out, "Usage per user (used/bound):");

    const Value &h = s["hidden"];
    if (h["channels"].num() + h["blockedSends"].num() + h["receivers"].num() +
            h["connections"].num() !=
        0)
        fprintf(out,
                "\nNot shown (other users'): %lld channels, %lld blocked "
                "sends, %lld receives, %lld connections\n",
                static_cast<long long>(h["channels"].num()),
                static_cast<long long>(h["blockedSends"].num()),
                static_cast<long long>(h["receivers"].num()),
                static_cast<long long>(h["connections"].num()));

    const Value &k = s["counters"];
    std::string line;
    for (const auto &[kind, count] : k["requests"].members)
        if (count.num() != 0)
            line += " " + kind + " " + n(count.num());
    fprintf(out, "\nRequests since start:%s\n",
            line.empty() ? " none" : line.c_str());
    fprintf(out, "Bytes moved: %s\n", bytes(k["bytesMoved"].num()).c_str());
    line.clear();
    for (const auto &[name, count] : k["errors"].members)
        line += " " + name + " " + n(count.num());
    fprintf(out, "Errors:%s\n", line.empty() ? " none" : line.c_str());
    line.clear();
    for (const Value &b : k["roundTrip"].items)
        line += (b["belowUs"].isNull()
                     ? " longer"
                     : " <" + duration(b["belowUs"].num() * 1000)) +
                ": " + n(b["count"].num());
    fprintf(out, "Round trips:%s\n", line.empty() ? " none" : line.c_str());
}

} // namespace zelktool
