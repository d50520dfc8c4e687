// zelkd: the message-passing driver in user space. Mounts the device file,
// serves it until SIGTERM or SIGINT, then fails every waiting caller,
// unmounts and removes the file if it created it. Beside the FUSE loop, a
// thread answers status requests on the control socket.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <grp.h>
#include <unistd.h>

#include "control_socket.h"
#include "core.h"
#include "core_state.h"
#include "fuse_device.h"
#include "locked_core.h"
#include "log.h"
#include "memory_access.h"
#include "mount_point.h"
#include "options.h"
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
void startControl(ControlSocket &control, LockedCore &locked,
                  const Options &options, const std::string &path)
{
    if (options.control.empty())
        return;
    DaemonInfo daemon{ZELKD_VERSION, path, getpid(), clockNs(CLOCK_MONOTONIC),
                      options.limits};
    const gid_t group = options.attrs.group;
    const std::string problem = control.start(
        options.control,
        [&locked, daemon, group](const Peer &peer, const std::string &ask) {
            if (ask != "status")
                return std::string("{\"error\":\"unknown request\"}\n");
            CoreStatus status;
            const auto begin = std::chrono::steady_clock::now();
            if (!locked.status(status, std::chrono::milliseconds(500)))
                return std::string("{\"error\":\"busy\"}\n");
            // A snapshot holds up the device while it copies the core's
            // state: however often asked, keep that to a tenth of the time.
            const auto held = std::chrono::steady_clock::now() - begin;
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(
                    held * 9, std::chrono::seconds(1)));
            status.users = usageOf(status);
            const Viewer viewer{peer.uid, seesAll(peer, group)};
            return statusJson(status, locked.counters(), daemon, viewer);
        });
    if (!problem.empty())
        logLine(LogLevel::Error, "no status socket: %s", problem.c_str());
}

int serve(const Options &options, const std::string &path)
{
    bool created = false;
    std::string problem = prepareMountPoint(path, created);
    if (!problem.empty()) {
        logLine(LogLevel::Error, "%s", problem.c_str());
        return 1;
    }
    int rc = 1;
    {
        FuseDevice device;
        ProcessMemory memory;
        Core core(device, memory, options.limits);
        LockedCore locked(core);
        ControlSocket control;
        problem = device.mount(path, options.attrs);
        if (!problem.empty()) {
            logLine(LogLevel::Error, "%s", problem.c_str());
        } else if (FuseDevice::daemonize(options.foreground) != 0) {
            logLine(LogLevel::Error, "cannot detach from the terminal");
        } else {
            logLine(LogLevel::Info,
                    "serving %s (mode %04o, owner %u, group %u, messages up "
                    "to %u bytes, queued data up to %llu bytes)",
                    path.c_str(), static_cast<unsigned>(options.attrs.mode),
                    static_cast<unsigned>(options.attrs.owner),
                    static_cast<unsigned>(options.attrs.group),
                    options.limits.maxMessage,
                    static_cast<unsigned long long>(options.limits.maxQueued));
            startControl(control, locked, options, path);
            const int loop = device.run(locked);
            control.stop();
            if (loop != 0)
                logLine(LogLevel::Error, "event loop failed: %s",
                        strerror(-loop));
            rc = loop == 0 ? 0 : 1;
        }
        device.unmount();
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
    const std::string problem = parseOptions(argc, argv, options);
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
    return serve(options, path);
}
