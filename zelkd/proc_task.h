// What /proc tells about one thread: its process, name, run state and
// scheduling. Shared by zelkd's status and the zelk command.
#ifndef ZELKD_PROC_TASK_H
#define ZELKD_PROC_TASK_H

#include <string>

#include <sys/types.h>

namespace zelkd {

struct TaskInfo {
    pid_t pid = 0;    // the process (thread group) the thread belongs to
    std::string name; // the system thread name (comm)
    char state = '?'; // R, S, D, T, Z, ... as /proc shows it
    int policy = 0;   // SCHED_OTHER, SCHED_FIFO, SCHED_RR, ...
    int rtPriority = 0;
    int nice = 0;
};

// Reads /proc/<tid>/stat and status. False when the thread does not exist.
bool readTask(pid_t tid, TaskInfo &out);

// "other", "fifo", "rr", "batch", "idle", "deadline" or the number.
std::string policyName(int policy);

} // namespace zelkd

#endif
