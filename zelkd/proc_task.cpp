// Reads a thread's process, name, state and scheduling from /proc. The name
// in the stat line may hold spaces and parentheses, so the fields are
// counted from the last ')'.
#include "proc_task.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace zelkd {

namespace {

// Reads a small /proc file whole; "" when it cannot.
std::string slurp(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

} // namespace

bool readTask(pid_t tid, TaskInfo &out)
{
    const std::string base = "/proc/" + std::to_string(tid);
    const std::string stat = slurp(base + "/stat");
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    out.name = stat.substr(open + 1, close - open - 1);
    // Fields from 3 (state) on, 1-based as proc(5) counts them.
    const char *at = stat.c_str() + close + 1;
    long fields[42] = {};
    char state = '?';
    for (int field = 3; field <= 41 && *at != '\0'; ++field) {
        while (*at == ' ')
            ++at;
        if (field == 3)
            state = *at;
        else
            fields[field] = strtol(at, nullptr, 10);
        while (*at != ' ' && *at != '\0')
            ++at;
    }
    out.state = state;
    out.nice = static_cast<int>(fields[19]);
    out.rtPriority = static_cast<int>(fields[40]);
    out.policy = static_cast<int>(fields[41]);
    out.pid = tid;
    const std::string status = slurp(base + "/status");
    const size_t tgid = status.find("\nTgid:");
    if (tgid != std::string::npos)
        out.pid =
            static_cast<pid_t>(strtol(status.c_str() + tgid + 6, nullptr, 10));
    return true;
}

std::string policyName(int policy)
{
    switch (policy) {
    case SCHED_OTHER:
        return "other";
    case SCHED_FIFO:
        return "fifo";
    case SCHED_RR:
        return "rr";
    case SCHED_BATCH:
        return "batch";
    case SCHED_IDLE:
        return "idle";
    case 6: // SCHED_DEADLINE
        return "deadline";
    default:
        return std::to_string(policy);
    }
}

} // namespace zelkd
