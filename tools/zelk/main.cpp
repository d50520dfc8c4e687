// zelk: shows a live libzelk system. `zelk status` prints zelkd's channels,
// blocked sends, waiting receives, connections, usage and counters; `zelk
// threads` the threads that have marker files and what each is doing.
// --json prints the documents instead, --watch refreshes them in place.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <getopt.h>
#include <unistd.h>

#include "control_client.h"
#include "json.h"
#include "views.h"

using namespace zelktool;

namespace {

constexpr const char *kMarkerDir = "/var/run/zelk";

void usage(FILE *out)
{
    fputs(
        "usage: zelk [options] status|threads\n"
        "Shows a live libzelk system.\n"
        "  status   zelkd's channels, blocked sends (longest first),\n"
        "           waiting receives, connections, per-user usage and\n"
        "           counters since start\n"
        "  threads  the threads that have marker files: process, thread,\n"
        "           name, scheduling policy and priority, and state\n"
        "           (blocked in send or receive on a channel, running, ...);\n"
        "           stale markers are flagged\n"
        "\n"
        "  -j, --json            print the JSON document instead\n"
        "  -w, --watch SECONDS   refresh every SECONDS until interrupted\n"
        "  -s, --socket PATH     zelkd's status socket\n"
        "                        (default /run/zelk/zelkd.sock)\n"
        "  -h, --help            this text\n"
        "  -V, --version         the version\n"
        "Exit status: 0, 1 when zelkd is not running (status) or on an\n"
        "error, 2 for a bad command line.\n",
        out);
}

struct Options {
    bool json = false;
    double watch = 0;
    std::string socket = kDefaultSocket;
    std::string command;
};

// Prints one view. Returns the exit status.
int showOnce(const Options &options)
{
    std::string answer;
    const Fetch fetched = fetchStatus(options.socket, answer);
    Value status;
    std::string problem;
    if (fetched == Fetch::Ok) {
        problem = parseJson(answer, status);
        if (problem.empty() && !status["error"].isNull())
            problem = "zelkd answered: " + status["error"].str();
    } else {
        problem = answer;
    }
    if (options.command == "status") {
        if (!problem.empty()) {
            fprintf(stderr, "zelk: %s\n", problem.c_str());
            return 1;
        }
        if (options.json)
            fputs(answer.c_str(), stdout);
        else
            printStatus(stdout, status);
        return 0;
    }
    // Threads are shown without zelkd too, with what /proc says.
    if (!problem.empty()) {
        if (fetched != Fetch::NotRunning)
            fprintf(stderr, "zelk: %s\n", problem.c_str());
        status = Value{};
    }
    const std::string threads = threadsJson(kMarkerDir, status);
    if (options.json) {
        fputs(threads.c_str(), stdout);
    } else {
        Value parsed;
        parseJson(threads, parsed);
        printThreads(stdout, parsed);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    static const option longOptions[] = {
        {"json", no_argument, nullptr, 'j'},
        {"watch", required_argument, nullptr, 'w'},
        {"socket", required_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    Options options;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "jw:s:hV", longOptions, nullptr)) !=
           -1) {
        char *end = nullptr;
        switch (c) {
        case 'j':
            options.json = true;
            break;
        case 'w':
            errno = 0;
            options.watch = strtod(optarg, &end);
            if (errno != 0 || end == optarg || *end != '\0' ||
                !(options.watch > 0 && options.watch < 1e6)) {
                fprintf(stderr, "zelk: --watch takes a number of seconds\n");
                return 2;
            }
            break;
        case 's':
            options.socket = optarg;
            break;
        case 'h':
            usage(stdout);
            return 0;
        case 'V':
            printf("zelk %s\n", ZELK_TOOL_VERSION);
            return 0;
        default:
            fprintf(stderr, "zelk: bad option %s\n(zelk --help)\n",
                    argv[optind - 1]);
            return 2;
        }
    }
    if (optind + 1 != argc || (strcmp(argv[optind], "status") != 0 &&
                               strcmp(argv[optind], "threads") != 0)) {
        fprintf(stderr, "zelk: say status or threads\n(zelk --help)\n");
        return 2;
    }
    options.command = argv[optind];
    if (options.watch == 0)
        return showOnce(options);

    const bool terminal = isatty(STDOUT_FILENO) != 0;
    for (;;) {
        if (terminal)
            fputs("\033[H\033[2J", stdout); // home, clear: refresh in place
        const time_t now = time(nullptr);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%H:%M:%S", localtime(&now));
        if (!options.json)
            printf("Every %gs: zelk %s    %s\n\n", options.watch,
                   options.command.c_str(), stamp);
        showOnce(options);
        fflush(stdout);
        const auto whole = static_cast<time_t>(options.watch);
        timespec pause{whole, static_cast<long>((options.watch - whole) * 1e9)};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
}
