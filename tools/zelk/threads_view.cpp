// `zelk threads`: every marker file "pid<pid>-tid<tid>-<name>" in the marker
// directory, with the thread's system name, scheduling and state from /proc,
// and from zelkd's status whether it is blocked in send or receive and on
// which channel. A marker whose thread is gone is flagged stale.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "json_text.h"
#include "proc_task.h"
#include "table.h"
#include "views.h"

namespace zelktool {

namespace {

struct Marker {
    long pid = 0;
    long tid = 0;
    std::string name;
};

bool parseMarker(const char *file, Marker &out)
{
    char *end = nullptr;
    if (strncmp(file, "pid", 3) != 0)
        return false;
    out.pid = strtol(file + 3, &end, 10);
    if (end == file + 3 || strncmp(end, "-tid", 4) != 0)
        return false;
    const char *tid = end + 4;
    out.tid = strtol(tid, &end, 10);
    if (end == tid || *end != '-' || out.pid <= 0 || out.tid <= 0)
        return false;
    out.name = end + 1;
    return true;
}

std::string quoted(const std::string &s)
{
    std::string out;
    zelkd::appendJsonString(out, s);
    return out;
}

// What zelkd says a thread is doing: blocked in send or receive, and the
// messages it received and has not answered.
struct DriverState {
    std::string state; // "send" or "receive", or "" for neither
    std::string channel;
    int64_t messageId = 0;
    std::string holding; // JSON array items
};

std::map<long, DriverState> driverStates(const Value &status)
{
    std::map<long, DriverState> out;
    for (const Value &send : status["blockedSends"].items) {
        DriverState &d = out[static_cast<long>(send["tid"].num())];
        d.state = "send";
        d.channel = send["channel"].str();
        d.messageId = send["messageId"].num();
    }
    for (const Value &channel : status["channels"].items) {
        for (const Value &receiver : channel["receivers"].items) {
            DriverState &d = out[static_cast<long>(receiver["tid"].num())];
            d.state = "receive";
            d.channel = channel["name"].str();
        }
        for (const Value &held : channel["received"].items) {
            DriverState &d = out[static_cast<long>(held["serverTid"].num())];
            d.holding +=
                std::string(d.holding.empty() ? "" : ",") +
                "{\"channel\":" + quoted(channel["name"].str()) +
                ",\"messageId\":" + std::to_string(held["messageId"].num()) +
                "}";
        }
    }
    return out;
}

const char *procState(char state)
{
    switch (state) {
    case 'R':
        return "running";
    case 'S':
        return "sleeping";
    case 'D':
        return "disk";
    case 'T':
    case 't':
        return "stopped";
    case 'Z':
        return "zombie";
    default:
        return "other";
    }
}

} // namespace

std::string threadsJson(const std::string &markerDir, const Value &status)
{
    std::vector<Marker> markers;
    if (DIR *dir = opendir(markerDir.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            Marker marker;
            if (parseMarker(entry->d_name, marker))
                markers.push_back(marker);
        }
        closedir(dir);
    }
    std::sort(markers.begin(), markers.end(),
              [](const Marker &a, const Marker &b) {
                  return a.pid != b.pid ? a.pid < b.pid : a.tid < b.tid;
              });
    const auto states = driverStates(status);

    std::string out = "{\"schema\":1,\"zelkdRunning\":";
    out += status.isNull() ? "false" : "true";
    out += ",\"threads\":[";
    bool first = true;
    for (const Marker &marker : markers) {
        const std::string task = "/proc/" + std::to_string(marker.pid) +
                                 "/task/" + std::to_string(marker.tid);
        struct stat st {};
        zelkd::TaskInfo info;
        const bool alive =
            stat(task.c_str(), &st) == 0 &&
            zelkd::readTask(static_cast<pid_t>(marker.tid), info) &&
            info.pid == marker.pid;
        out += first ? "{" : ",{";
        first = false;
        out += "\"pid\":" + std::to_string(marker.pid) +
               ",\"tid\":" + std::to_string(marker.tid) +
               ",\"name\":" + quoted(marker.name) +
               ",\"stale\":" + (alive ? "false" : "true");
        if (!alive) {
            out += ",\"state\":\"gone\"}";
            continue;
        }
        out += ",\"systemName\":" + quoted(info.name) +
               ",\"policy\":" + quoted(zelkd::policyName(info.policy)) +
               ",\"priority\":" + std::to_string(info.rtPriority) +
               ",\"nice\":" + std::to_string(info.nice);
        const auto found = states.find(marker.tid);
        const DriverState none;
        const DriverState &d = found != states.end() ? found->second : none;
        out += ",\"state\":" +
               quoted(d.state.empty() ? procState(info.state) : d.state);
        out += ",\"channel\":" +
               (d.state.empty() ? std::string("null") : quoted(d.channel));
        out +=
            ",\"messageId\":" + (d.state == "send" ? std::to_string(d.messageId)
                                                   : std::string("null"));
        out += ",\"holding\":[" + d.holding + "]}";
    }
    return out + "]}\n";
}

void printThreads(FILE *out, const Value &threads)
{
    Table table({"PID", "TID", "NAME", "POLICY", "PRIO", "STATE"});
    for (const Value &t : threads["threads"].items) {
        std::string state = t["state"].str();
        if (state == "send")
            state = "blocked in send on " + printable(t["channel"].str()) +
                    " (message " + std::to_string(t["messageId"].num()) + ")";
        else if (state == "receive")
            state = "in receive on " + printable(t["channel"].str());
        else if (t["stale"].boolean)
            state = "STALE marker: thread gone";
        for (const Value &held : t["holding"].items)
            state += ", holds message " +
                     std::to_string(held["messageId"].num()) + " of " +
                     printable(held["channel"].str());
        const bool alive = !t["stale"].boolean;
        table.add({std::to_string(t["pid"].num()),
                   std::to_string(t["tid"].num()), printable(t["name"].str()),
                   alive ? t["policy"].str() : "-",
                   alive ? std::to_string(t["priority"].num()) : "-", state});
    }
    table.print(out, "Threads with markers:");
    if (!threads["zelkdRunning"].boolean)
        fputs("(zelkd is not running: send and receive states unknown)\n", out);
}

} // namespace zelktool
