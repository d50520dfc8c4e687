// zelkd: the message-passing driver in user space. Mounts the device file,
// serves it until SIGTERM or SIGINT, then fails every waiting caller,
// unmounts and removes the file if it created it.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "core.h"
#include "fuse_device.h"
#include "log.h"
#include "memory_access.h"
#include "mount_point.h"
#include "options.h"

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

// The most requests served at once. A request waits on its own thread only
// while caller memory is copied; waiting for a partner takes no thread.
constexpr unsigned kThreads = 64;

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
        problem = device.mount(path, options.attrs);
        if (!problem.empty()) {
            logLine(LogLevel::Error, "%s", problem.c_str());
        } else if (FuseDevice::daemonize(options.foreground) != 0) {
            logLine(LogLevel::Error, "cannot detach from the terminal");
        } else {
            logLine(
                LogLevel::Info,
                "serving %s (mode %04o, owner %u, group %u, messages up "
                "to %u bytes, queued data up to %llu bytes; per user: "
                "queued data up to %llu bytes, %u channels, %u "
                "unanswered sends per channel)",
                path.c_str(), static_cast<unsigned>(options.attrs.mode),
                static_cast<unsigned>(options.attrs.owner),
                static_cast<unsigned>(options.attrs.group),
                options.limits.maxMessage,
                static_cast<unsigned long long>(options.limits.maxQueued),
                static_cast<unsigned long long>(options.limits.maxUserQueued),
                options.limits.maxUserChannels, options.limits.maxUserMessages);
            const int loop = device.run(core, kThreads);
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
