// Thread states as zelkd's /proc reader sees them; see the header.
#include "support/blocked.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "proc_task.h"

namespace zelk::test {

bool awaitBlocked(const std::vector<std::atomic<int> *> &tids)
{
    const int callersErrno = errno; // tests check errno around the wait
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int quietLooks = 0;
    while (quietLooks < 2) {
        bool all = true;
        for (const std::atomic<int> *tid : tids) {
            zelkd::TaskInfo task;
            all = all && tid->load() != 0 && zelkd::readTask(*tid, task) &&
                  task.state == 'S';
        }
        quietLooks = all ? quietLooks + 1 : 0;
        if (std::chrono::steady_clock::now() > deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    errno = callersErrno;
    return quietLooks >= 2;
}

} // namespace zelk::test
