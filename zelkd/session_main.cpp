// zelkd-session: runs a program with a zelkd of its own, in a private mount
// namespace with its own /dev/zelk, and ends that zelkd when the program
// ends. Exits with the program's status (128 + n when signal n killed it).
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "session_namespace.h"

using namespace zelkd;

namespace {

constexpr int kSessionFailed = 125; // the session itself could not start
constexpr int kCannotRun = 126;
constexpr int kNotFound = 127;

void usage(FILE *out)
{
    fputs("Usage: zelkd-session [OPTION]... [--] PROGRAM [ARGUMENT]...\n"
          "Runs PROGRAM with a zelkd of its own: in a private mount "
          "namespace, with\n"
          "its own /dev/zelk and an empty marker directory, nothing of which "
          "is seen\n"
          "outside. The zelkd stops when PROGRAM ends; zelkd-session exits "
          "with\n"
          "PROGRAM's status (128 + n when signal n ended it), 125 when the "
          "session\n"
          "cannot start, 126 or 127 when PROGRAM cannot be run or found.\n"
          "Root runs it directly; other users need user namespaces.\n"
          "\n"
          "  -z, --zelkd PATH      the zelkd to start (default: the one "
          "installed\n"
          "                        with zelkd-session, else zelkd from "
          "PATH)\n"
          "  -o, --option OPTION   pass OPTION on to zelkd (repeatable)\n"
          "  -v, --verbose         let zelkd log its start and stop\n"
          "  -h, --help            show this help and exit\n",
          out);
}

struct Options {
    std::string zelkd;
    std::vector<std::string> zelkdOptions;
    bool verbose = false;
    char **program = nullptr;
};

// Options end at the first argument that is not one, or after "--".
bool parse(int argc, char **argv, Options &options)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            exit(0);
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if ((arg == "-z" || arg == "--zelkd") && i + 1 < argc) {
            options.zelkd = argv[++i];
        } else if ((arg == "-o" || arg == "--option") && i + 1 < argc) {
            options.zelkdOptions.push_back(argv[++i]);
        } else {
            fprintf(stderr,
                    "zelkd-session: %s: unknown option or missing "
                    "argument\n",
                    arg.c_str());
            return false;
        }
    }
    if (i >= argc) {
        fputs("zelkd-session: no program given\n", stderr);
        return false;
    }
    options.program = argv + i;
    return true;
}

// The zelkd beside this program (build tree), in ../sbin (installed), or
// the one on PATH.
std::string findZelkd()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir = self;
        dir.erase(dir.rfind('/'));
        for (const char *relative : {"/zelkd", "/../sbin/zelkd"})
            if (access((dir + relative).c_str(), X_OK) == 0)
                return dir + relative;
    }
    return "zelkd";
}

pid_t startZelkd(const Options &options)
{
    std::vector<std::string> args = {options.zelkd, "--foreground"};
    if (!options.verbose)
        args.emplace_back("--quiet");
    args.insert(args.end(), options.zelkdOptions.begin(),
                options.zelkdOptions.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A process group of its own: a Ctrl-C meant for the program must
        // not stop the driver under it.
        setpgid(0, 0);
        // Stops with the session, also when the session is killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(kSessionFailed);
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        execvp(argv[0], argv.data());
        fprintf(stderr, "zelkd-session: %s: %s\n", argv[0], strerror(errno));
        _exit(kSessionFailed);
    }
    return pid;
}

// Waits until /dev/zelk is mounted; false when zelkd ended (zelkd is then
// -1) or took too long.
bool waitForDevice(pid_t &zelkd)
{
    for (int i = 0; i < 200; ++i) {
        if (waitpid(zelkd, nullptr, WNOHANG) == zelkd) {
            zelkd = -1;
            return false;
        }
        if (FILE *info = fopen("/proc/self/mountinfo", "re")) {
            char line[4096];
            bool mounted = false;
            while (!mounted && fgets(line, sizeof line, info) != nullptr)
                mounted = strstr(line, " /dev/zelk ") != nullptr;
            fclose(info);
            if (mounted)
                return true;
        }
        usleep(25'000);
    }
    return false;
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return kSessionFailed;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Asks zelkd to stop, and forces it after five seconds.
void stopZelkd(pid_t zelkd)
{
    kill(zelkd, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(zelkd, nullptr, WNOHANG) == zelkd)
            return;
        usleep(10'000);
    }
    kill(zelkd, SIGKILL);
    waitpid(zelkd, nullptr, 0);
}

volatile sig_atomic_t programPid = 0;

// SIGTERM and SIGHUP to the session go on to the program, whose end then
// ends the session.
void forward(int signo)
{
    if (programPid > 0)
        kill(programPid, signo);
}

pid_t startProgram(char **program, const SessionUser &user, bool asUser)
{
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        if (asUser) {
            const std::string problem = becomeUserAgain(user);
            if (!problem.empty()) {
                fprintf(stderr, "zelkd-session: %s\n", problem.c_str());
                _exit(kSessionFailed);
            }
        }
        execvp(program[0], program);
        const int err = errno;
        fprintf(stderr, "zelkd-session: %s: %s\n", program[0], strerror(err));
        _exit(err == ENOENT ? kNotFound : kCannotRun);
    }
    return pid;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        fputs("(zelkd-session --help shows the usage)\n", stderr);
        return kSessionFailed;
    }
    if (options.zelkd.empty())
        options.zelkd = findZelkd();

    const SessionUser user{getuid(), getgid()};
    const bool unprivileged = geteuid() != 0;
    std::string problem = enterSessionNamespace(user);
    if (problem.empty())
        problem = checkFuse();
    if (problem.empty())
        problem = makePrivateDevAndMarkers();
    if (!problem.empty()) {
        fprintf(stderr, "zelkd-session: %s\n", problem.c_str());
        return kSessionFailed;
    }

    // The session outlives the program: a Ctrl-C reaches the program (and
    // not zelkd, which has a process group of its own).
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    pid_t zelkd = startZelkd(options);
    if (zelkd < 0 || !waitForDevice(zelkd)) {
        fputs("zelkd-session: zelkd did not start (see its messages "
              "above)\n",
              stderr);
        if (zelkd > 0)
            stopZelkd(zelkd);
        return kSessionFailed;
    }

    struct sigaction onSignal {};
    onSignal.sa_handler = forward;
    sigaction(SIGTERM, &onSignal, nullptr);
    sigaction(SIGHUP, &onSignal, nullptr);
    const pid_t program = startProgram(options.program, user, unprivileged);
    programPid = program;
    const int status = program < 0 ? kSessionFailed : waitFor(program);
    stopZelkd(zelkd);
    return status;
}
