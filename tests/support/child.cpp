// Forked children for tests; see child.h.
#include "support/child.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelk::test {

int inChild(const std::function<void()> &body)
{
    return waitChild(forkChild(body));
}

pid_t forkChild(const std::function<void()> &body)
{
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        body();
        const int failed = ::testing::Test::HasFailure() ? 1 : 0;
        fflush(stdout);
        fflush(stderr);
        _exit(failed);
    }
    return pid;
}

int waitChild(pid_t pid)
{
    if (pid < 0)
        return 127;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

std::string dropToUnprivilegedUser()
{
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0)
        return std::string("setgroups: ") + strerror(errno);
    if (setresgid(kNobody, kNobody, kNobody) != 0)
        return std::string("setresgid: ") + strerror(errno);
    if (setresuid(kNobody, kNobody, kNobody) != 0)
        return std::string("setresuid: ") + strerror(errno);
    return "";
}

} // namespace zelk::test
