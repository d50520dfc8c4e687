// zelkd: the message-passing driver in user space. Loads the channel
// policy, mounts the device file, serves it until SIGTERM or SIGINT
// (reloading the policy on SIGHUP), then fails every waiting caller,
// unmounts and removes the file if it or a dead predecessor created it.
// Meanwhile it removes the marker files that ended processes left behind,
// and a thread answers status requests on the control socket.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include <grp.h>
#include <unistd.h>

#include "control_socket.h"
#include "core.h"
#include "core_state.h"
#include "fuse_device.h"
#include "log.h"
#include "marker_sweep.h"
#include "memory_access.h"
#include "mount_point.h"
#include "options.h"
#include "policy_reload.h"
#include "scheduling.h"
#include "serving_priority.h"
#include "status_json.h"

using namespace zelkd;

namespace {

// The absolute path with the directory's symbolic links resolved, as
// mountinfo shows it; "" when the directory does not exist.
std::string canonicalPath(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (path.empty() || path[0] != '/' || slash + 1 == path.size())
        return "";
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved) == nullptr)
        return "";
    std::string out = resolved;
    if (out != "/")
        out += '/';
    return out + path.substr(slash + 1);
}

// Callers are named by their pid in zelkd's pid namespace, and their
// mappings and groups read from /proc: a /proc of another pid namespace
// would answer for some other process with the same number.
std::string procProblem()
{
    char link[32];
    const ssize_t n = readlink("/proc/self", link, sizeof link - 1);
    if (n < 0)
        return std::string("/proc/self: ") + strerror(errno) +
               ": zelkd needs /proc to reach its callers";
    link[n] = '\0';
    if (strtol(link, nullptr, 10) == static_cast<long>(getpid()))
        return "";
    return "/proc belongs to another pid namespace than zelkd (it calls "
           "zelkd " +
           std::string(link) + ", zelkd is " + std::to_string(getpid()) +
           "): it would answer for the wrong processes; run zelkd in the pid "
           "namespace of its /proc, or mount a /proc of its own (unshare "
           "--mount-proc)";
}

// The most requests served at once. A request waits on its own thread only
// while caller memory is copied; waiting for a partner takes no thread.
constexpr unsigned kThreads = 64;

// Root and members of the device file's group see every channel and request.
bool seesAll(const Peer &peer, gid_t deviceGroup)
{
    if (peer.uid == 0 || peer.gid == deviceGroup)
        return true;
    for (const gid_t group : peer.groups)
        if (group == deviceGroup)
            return true;
    return false;
}

// Serves the control socket while the device is served; a socket that
// cannot be made costs the status, not the device.
void startControl(ControlSocket &control, const Core &core,
                  const Options &options, const std::string &path)
{
    if (options.control.empty())
        return;
    DaemonInfo daemon{ZELKD_VERSION, path, getpid(), clockNs(CLOCK_MONOTONIC),
                      options.limits};
    const gid_t group = options.attrs.group;
    const std::string problem = control.start(
        options.control,
        [&core, &options, daemon, group](const Peer &peer, const std::string &ask) {
            if (ask != "status")
                return std::string("{\"error\":\"unknown request\"}\n");
            CoreStatus status;
            const auto begin = std::chrono::steady_clock::now();
            core.status(status);
            // A snapshot holds up the device while it copies the core's
            // state: however often asked, keep that to a tenth of the time.
            const auto held = std::chrono::steady_clock::now() - begin;
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(
                    held * 9, std::chrono::seconds(1)));
            status.users = usageOf(status);
            for (UserUsage &usage : status.users) {
                usage.maxChannels = options.limits.maxUserChannels;
                usage.maxQueuedBytes = options.limits.maxUserQueued;
                usage.maxBlockedSends = options.limits.maxUserMessages;
            }
            if (access(options.policy.c_str(), F_OK) == 0)
                status.policyFile = options.policy;
            const Viewer viewer{peer.uid, seesAll(peer, group)};
            return statusJson(status, core.counters(), daemon, viewer);
        });
    if (!problem.empty())
        logLine(LogLevel::Error, "no status socket: %s", problem.c_str());
}

int serve(const Options &options, const std::string &path, PolicyHolder &policy)
{
    bool created = false;
    std::string problem = prepareMountPoint(path, created);
    if (!problem.empty()) {
        logLine(LogLevel::Error, "%s", problem.c_str());
        return 1;
    }
    int rc = 1;
    {
        ThreadScheduling scheduling;
        ServingPriority serving(scheduling);
        FuseDevice device;
        ProcessMemory memory;
        bool inheritance = options.inheritance;
        if (inheritance) {
            // Tried before serving: without real-time scheduling of its
            // own, zelkd cannot raise anybody else either.
            const std::string why = serving.start();
            if (!why.empty()) {
                logLine(LogLevel::Error, "%s; priority inheritance is off",
                        why.c_str());
                inheritance = false;
            } else {
                serving.stop();
            }
        }
        device.usePriorities(scheduling, inheritance ? &serving : nullptr);
        ServingMemory servingMemory(memory, inheritance ? &serving : nullptr);
        Core core(device, servingMemory, options.limits,
                  inheritance ? &scheduling : nullptr);
        core.usePolicy(&policy);
        PolicyReloader reloader({options.policy, options.policyGiven}, policy);
        ControlSocket control;
        problem = device.mount(path, options.attrs);
        if (!problem.empty()) {
            logLine(LogLevel::Error, "%s", problem.c_str());
        } else if (FuseDevice::daemonize(options.foreground) != 0) {
            logLine(LogLevel::Error, "cannot detach from the terminal");
        } else if (problem = reloader.start(); !problem.empty()) {
            logLine(LogLevel::Error, "%s", problem.c_str());
        } else {
            logLine(
                LogLevel::Info,
                "serving %s (mode %04o, owner %u, group %u, messages up "
                "to %u bytes, queued data up to %llu bytes; per user: "
                "queued data up to %llu bytes, %u channels, %u "
                "unanswered sends per channel; priority inheritance %s)",
                path.c_str(), static_cast<unsigned>(options.attrs.mode),
                static_cast<unsigned>(options.attrs.owner),
                static_cast<unsigned>(options.attrs.group),
                options.limits.maxMessage,
                static_cast<unsigned long long>(options.limits.maxQueued),
                static_cast<unsigned long long>(options.limits.maxUserQueued),
                options.limits.maxUserChannels, options.limits.maxUserMessages,
                inheritance ? "on" : "off");
            // Started after daemonize: a thread would not survive its fork.
            std::optional<MarkerSweeper> sweeper;
            try {
                sweeper.emplace(kMarkerDirectory, std::chrono::minutes(1));
            } catch (const std::system_error &e) {
                logLine(LogLevel::Error,
                        "stale marker files are not removed: %s", e.what());
            }
            startControl(control, core, options, path);
            const int loop = device.run(core, kThreads);
            control.stop();
            if (loop != 0)
                logLine(LogLevel::Error, "event loop failed: %s",
                        strerror(-loop));
            rc = loop == 0 ? 0 : 1;
        }
        device.unmount();
        if (device.stuckThreads() != 0) {
            // A thread waits on a caller's memory that never comes (a
            // page of a filesystem that does not answer). The wait ends
            // when the process does; what it uses stays until then.
            logLine(LogLevel::Error,
                    "%u request(s) stuck in a caller's memory were "
                    "abandoned",
                    device.stuckThreads());
            if (created)
                unlink(path.c_str());
            logLine(LogLevel::Info, "stopped");
            _exit(rc);
        }
    }
    if (created)
        unlink(path.c_str());
    logLine(LogLevel::Info, "stopped");
    return rc;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    std::string problem = parseOptions(argc, argv, options);
    if (!problem.empty()) {
        fprintf(stderr, "zelkd: %s\n(zelkd --help lists the options)\n",
                problem.c_str());
        return 2;
    }
    if (options.help) {
        printUsage(stdout);
        return 0;
    }
    if (options.version) {
        printf("zelkd %s\n", ZELKD_VERSION);
        return 0;
    }
    logSetup(options.syslog, options.verbosity);

    const std::string path = canonicalPath(options.device);
    if (path.empty()) {
        logLine(LogLevel::Error,
                "%s: not an absolute file path in an existing directory",
                options.device.c_str());
        return 1;
    }
    if (geteuid() != 0) {
        logLine(LogLevel::Error,
                "must run as root: it mounts over %s and copies data "
                "between its callers' processes",
                path.c_str());
        return 1;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        logLine(LogLevel::Error, "FUSE is not available: /dev/fuse: %s",
                strerror(errno));
        return 1;
    }
    problem = procProblem();
    if (!problem.empty()) {
        logLine(LogLevel::Error, "%s", problem.c_str());
        return 1;
    }
    blockHangup();
    PolicyHolder policy;
    problem = loadPolicyInto({options.policy, options.policyGiven}, policy);
    if (!problem.empty()) {
        logLine(LogLevel::Error, "%s", problem.c_str());
        return 1;
    }
    if (policy.get() != nullptr)
        logLine(LogLevel::Info, "policy %s: %zu rules", options.policy.c_str(),
                policy.get()->ruleCount());
    return serve(options, path, policy);
}
