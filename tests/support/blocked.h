// Waiting until other threads of the process are blocked: for tests that
// must act while a thread waits in a call, not while it is on its way there.
#ifndef ZELK_TESTS_SUPPORT_BLOCKED_H
#define ZELK_TESTS_SUPPORT_BLOCKED_H

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace zelk::test {

// The state letter of thread tid of this process ('R', 'S', ...), or 0.
inline char threadState(int tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size()
               ? line[close + 2]
               : 0;
}

// Waits until every thread in tids has stored its id and sleeps in the
// kernel on two looks in a row 2 ms apart (a thread that merely passes a
// contended lock on its way is not taken for blocked). False after 10 s.
inline bool awaitBlocked(const std::vector<std::atomic<int> *> &tids)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int quietLooks = 0;
    while (quietLooks < 2) {
        bool all = true;
        for (const std::atomic<int> *tid : tids)
            all = all && tid->load() != 0 && threadState(tid->load()) == 'S';
        quietLooks = all ? quietLooks + 1 : 0;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace zelk::test

#endif
