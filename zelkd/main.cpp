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
#include "scheduling.h"
#include "serving_priority.h"

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
        Core core(device, memory, options.limits,
                  inheritance ? &scheduling : nullptr);
        problem = device.mount(path, options.attrs);
        if (!problem.empty()) {
            logLine(LogLevel::Error, "%s", problem.c_str());
        } else if (FuseDevice::daemonize(options.foreground) != 0) {
            logLine(LogLevel::Error, "cannot detach from the terminal");
        } else {
            logLine(LogLevel::Info,
                    "serving %s (mode %04o, owner %u, group %u, messages up "
                    "to %u bytes, queued data up to %llu bytes, priority "
                    "inheritance %s)",
                    path.c_str(), static_cast<unsigned>(options.attrs.mode),
                    static_cast<unsigned>(options.attrs.owner),
                    static_cast<unsigned>(options.attrs.group),
                    options.limits.maxMessage,
                    static_cast<unsigned long long>(options.limits.maxQueued),
                    inheritance ? "on" : "off");
            const int loop = device.run(core);
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
