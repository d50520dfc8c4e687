// zelkd's command line: getopt_long over the options that printUsage lists.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>
#include <grp.h>
#include <pwd.h>

namespace zelkd {

namespace {

// A byte count with an optional K, M or G suffix (powers of 1024).
bool parseSize(const char *text, uint64_t &value)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long number = strtoull(text, &end, 10);
    if (errno != 0 || end == text || text[0] == '-')
        return false;
    unsigned shift = 0;
    if (*end == 'K' || *end == 'k')
        shift = 10;
    else if (*end == 'M' || *end == 'm')
        shift = 20;
    else if (*end == 'G' || *end == 'g')
        shift = 30;
    if (shift != 0)
        ++end;
    if (*end != '\0' || number > (UINT64_MAX >> shift))
        return false;
    value = static_cast<uint64_t>(number) << shift;
    return true;
}

bool parseId(const char *text, bool isGroup, unsigned &id)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long number = strtoul(text, &end, 10);
    if (errno == 0 && end != text && *end == '\0' && number <= 0xFFFFFFFEul) {
        id = static_cast<unsigned>(number);
        return true;
    }
    if (isGroup) {
        const group *gr = getgrnam(text);
        if (gr != nullptr)
            id = gr->gr_gid;
        return gr != nullptr;
    }
    const passwd *pw = getpwnam(text);
    if (pw != nullptr)
        id = pw->pw_uid;
    return pw != nullptr;
}

enum LongOnly {
    kLog = 256,
    kOwner,
    kGroup,
    kMode,
    kMaxMessage,
    kMaxQueued,
    kPolicy,
    kUserQueued,
    kUserChannels,
    kUserMessages,
    kNoInheritance,
    kControl,
};

// A count from 1 to UINT32_MAX.
bool parseCount(const char *text, uint32_t &value)
{
    uint64_t number = 0;
    if (!parseSize(text, number) || number == 0 || number > UINT32_MAX)
        return false;
    value = static_cast<uint32_t>(number);
    return true;
}

const option kOptions[] = {
    {"device", required_argument, nullptr, 'd'},
    {"foreground", no_argument, nullptr, 'f'},
    {"verbose", no_argument, nullptr, 'v'},
    {"quiet", no_argument, nullptr, 'q'},
    {"log", required_argument, nullptr, kLog},
    {"owner", required_argument, nullptr, kOwner},
    {"group", required_argument, nullptr, kGroup},
    {"mode", required_argument, nullptr, kMode},
    {"max-message", required_argument, nullptr, kMaxMessage},
    {"max-queued", required_argument, nullptr, kMaxQueued},
    {"policy", required_argument, nullptr, kPolicy},
    {"user-queued", required_argument, nullptr, kUserQueued},
    {"user-channels", required_argument, nullptr, kUserChannels},
    {"user-messages", required_argument, nullptr, kUserMessages},
    {"no-inheritance", no_argument, nullptr, kNoInheritance},
    {"control", required_argument, nullptr, kControl},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

} // namespace

void printUsage(FILE *out)
{
    fputs("usage: zelkd [options]\n"
          "Serves the libzelk message-passing device: channels, connections,\n"
          "messages and the memory probe, through a one-file FUSE filesystem\n"
          "mounted over the device path. Needs root.\n"
          "\n"
          "  -d, --device PATH      device file (default /dev/zelk; created\n"
          "                         when missing, stale mounts cleared)\n"
          "  -f, --foreground       stay in the foreground\n"
          "  -v, --verbose          log every request too\n"
          "  -q, --quiet            log errors only\n"
          "      --log DEST         stderr or syslog (default: stderr in the\n"
          "                         foreground, syslog otherwise)\n"
          "      --owner USER       owner of the device file (default root)\n"
          "      --group GROUP      group of the device file (default root)\n"
          "      --mode MODE        octal permissions of the device file\n"
          "                         (default 0666)\n"
          "      --max-message SIZE largest message or reply (default 16M)\n"
          "      --max-queued SIZE  bound on the data of all queued messages\n"
          "                         (default 256M, at least --max-message)\n"
          "      --policy FILE      channel policy: who may create or attach\n"
          "                         to which names (default\n"
          "                         /etc/zelk/policy.conf if it exists)\n"
          "      --user-queued SIZE bound on the queued data of one user's\n"
          "                         sends (default 64M)\n"
          "      --user-channels N  channels one user may hold (default 1024)\n"
          "      --user-messages N  unanswered sends of one user on one\n"
          "                         channel (default 1024)\n"
          "      --no-inheritance   no priority inheritance: servers keep\n"
          "                         their own priority while serving\n"
          "                         real-time senders, and zelkd's threads\n"
          "                         keep theirs\n"
          "      --control PATH     status socket for the zelk command\n"
          "                         (default /run/zelk/zelkd.sock; none: off)\n"
          "  -h, --help             this text\n"
          "  -V, --version          the version\n"
          "SIZE is a byte count with an optional K, M or G suffix. A user\n"
          "(uid) over one of its bounds gets ENOBUFS; other users do not.\n"
          "Priority inheritance: a server thread that receives a message\n"
          "from a SCHED_FIFO or SCHED_RR thread runs at that policy and\n"
          "priority, when higher than its own, until it replies or the\n"
          "message ends otherwise (sender interrupted or gone, channel\n"
          "ended); then it gets back exactly the scheduling it had. A\n"
          "thread holding several messages runs at the highest of their\n"
          "senders' priorities. zelkd's threads wait for requests at the\n"
          "highest real-time priority and serve each at its caller's\n"
          "(large copies and probes of callers without one at zelkd's own\n"
          "scheduling). It needs CAP_SYS_NICE (root has it); without,\n"
          "zelkd warns and runs without inheritance. Waiting messages are\n"
          "received highest sender priority first, in arrival order among\n"
          "equals.\n"
          "SIGTERM or SIGINT stops the daemon: every waiting caller fails and\n"
          "the device file is unmounted. SIGHUP reloads the policy file.\n",
          out);
}

std::string parseOptions(int argc, char **argv, Options &options)
{
    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":d:fvqhV", kOptions, nullptr)) != -1) {
        uint64_t size = 0;
        unsigned id = 0;
        char *end = nullptr;
        switch (c) {
        case 'd':
            options.device = optarg;
            break;
        case 'f':
            options.foreground = true;
            break;
        case 'v':
            options.verbosity = 2;
            break;
        case 'q':
            options.verbosity = 0;
            break;
        case 'h':
            options.help = true;
            break;
        case 'V':
            options.version = true;
            break;
        case kLog:
            if (strcmp(optarg, "syslog") != 0 && strcmp(optarg, "stderr") != 0)
                return "--log takes stderr or syslog";
            options.syslog = strcmp(optarg, "syslog") == 0;
            options.logChosen = true;
            break;
        case kOwner:
            if (!parseId(optarg, false, id))
                return std::string("unknown user ") + optarg;
            options.attrs.owner = id;
            break;
        case kGroup:
            if (!parseId(optarg, true, id))
                return std::string("unknown group ") + optarg;
            options.attrs.group = id;
            break;
        case kMode:
            errno = 0;
            size = strtoull(optarg, &end, 8);
            if (errno != 0 || end == optarg || *end != '\0' || size > 07777)
                return std::string("--mode takes octal bits, not ") + optarg;
            options.attrs.mode = static_cast<mode_t>(size);
            break;
        case kMaxMessage:
            if (!parseSize(optarg, size) || size == 0 || size > UINT32_MAX)
                return std::string("bad --max-message ") + optarg;
            options.limits.maxMessage = static_cast<uint32_t>(size);
            break;
        case kMaxQueued:
            if (!parseSize(optarg, size) || size == 0)
                return std::string("bad --max-queued ") + optarg;
            options.limits.maxQueued = size;
            break;
        case kPolicy:
            if (optarg[0] != '/')
                return std::string("--policy takes an absolute path, not ") +
                       optarg;
            options.policy = optarg;
            options.policyGiven = true;
            break;
        case kUserQueued:
            if (!parseSize(optarg, size) || size == 0)
                return std::string("bad --user-queued ") + optarg;
            options.limits.maxUserQueued = size;
            break;
        case kUserChannels:
            if (!parseCount(optarg, options.limits.maxUserChannels))
                return std::string("bad --user-channels ") + optarg;
            break;
        case kUserMessages:
            if (!parseCount(optarg, options.limits.maxUserMessages))
                return std::string("bad --user-messages ") + optarg;
            break;
        case kNoInheritance:
            options.inheritance = false;
            break;
        case kControl:
            if (optarg[0] != '/' && strcmp(optarg, "none") != 0)
                return "--control takes an absolute path or none";
            options.control = strcmp(optarg, "none") == 0 ? "" : optarg;
            break;
        case ':':
            return std::string("option needs an argument: ") + argv[optind - 1];
        default:
            return std::string("unknown option ") + argv[optind - 1];
        }
    }
    if (optind < argc)
        return std::string("unexpected argument ") + argv[optind];
    if (options.limits.maxQueued < options.limits.maxMessage)
        return "--max-queued must be at least --max-message";
    if (!options.logChosen)
        options.syslog = !options.foreground;
    return "";
}

} // namespace zelkd
