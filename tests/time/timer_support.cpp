// Helpers shared by the timer tests; see timer_support.h.
#include "time/timer_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include <dirent.h>
#include <unistd.h>

namespace zelk::test {

zelkTime monotonicNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<zelkTime>(now.tv_sec) * 1'000'000'000u +
           static_cast<zelkTime>(now.tv_nsec);
}

void sleepNs(zelkTime duration)
{
    zelkSleep(&duration);
}

bool waitUntil(const std::function<bool()> &done, zelkTime timeout)
{
    const zelkTime end = monotonicNow() + timeout;
    while (!done()) {
        if (monotonicNow() > end)
            return false;
        sleepNs(kMs);
    }
    return true;
}

void recordCall(int id, void *userArg)
{
    auto *log = static_cast<CallbackLog *>(userArg);
    const zelkTime now = monotonicNow();
    zelkTime none = 0;
    log->firstCallAt.compare_exchange_strong(none, now);
    log->lastCallAt = now;
    log->lastId = id;
    log->lastTid = gettid();
    if (log->action)
        log->action(id);
    ++log->calls;
}

std::vector<int> processThreads()
{
    std::vector<int> tids;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return tids;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            tids.push_back(atoi(entry->d_name));
    }
    closedir(dir);
    return tids;
}

std::string threadName(int tid)
{
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

int threadsNamed(const std::string &name)
{
    int count = 0;
    for (const int tid : processThreads())
        count += threadName(tid) == name ? 1 : 0;
    return count;
}

std::vector<void *> kernelTimerValues()
{
    std::vector<void *> values;
    std::ifstream timers("/proc/self/timers");
    std::string line;
    while (std::getline(timers, line)) {
        // "signal: <signo>/<value in hex>"
        if (line.rfind("signal:", 0) != 0)
            continue;
        const size_t slash = line.find('/');
        if (slash == std::string::npos)
            continue;
        values.push_back(reinterpret_cast<void *>(
            strtoull(line.c_str() + slash + 1, nullptr, 16)));
    }
    return values;
}

} // namespace zelk::test
