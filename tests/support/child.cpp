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
    return dropToUser(kNobody, kNobody, {});
}

std::string dropToUser(uid_t uid, gid_t gid, const std::vector<gid_t> &groups)
{
    if (setgroups(groups.size(), groups.data()) != 0)
        return std::string("setgroups: ") + strerror(errno);
    if (setresgid(gid, gid, gid) != 0)
        return std::string("setresgid: ") + strerror(errno);
    if (setresuid(uid, uid, uid) != 0)
        return std::string("setresuid: ") + strerror(errno);
    // Changing credentials clears the parent-death signal that forkChild
    // set: without it, a child left waiting when the test ends early would
    // live on and keep the test's output open.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        return std::string("prctl(PR_SET_PDEATHSIG): ") + strerror(errno);
    return "";
}

} // namespace zelk::test
