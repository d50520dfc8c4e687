// zelkd-session: the program runs against a zelkd of its own, sees its own
// /dev/zelk and an empty marker directory, and its exit status comes back;
// nothing of the session stays outside.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/zelkd_fixture.h"

namespace {

// Runs the session around a shell command; returns its exit status.
int session(const std::string &command)
{
    const std::string line = std::string(ZELKD_SESSION_PATH) + " --zelkd " +
                             zelk::test::zelkdPath() + " sh -c '" + command +
                             "' </dev/null";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SessionTest, RunsTheProgramWithItsOwnDriverAndPassesItsStatus)
{
    const std::string why = zelk::test::enterDriverSandbox();
    if (!why.empty())
        GTEST_SKIP() << why;
    struct stat st;
    ASSERT_NE(0, stat("/dev/zelk", &st)); // the sandbox has no driver

    // The device is a zelkd mount, the marker directory writable and
    // without markers (only the session's zelkd's status socket is there).
    EXPECT_EQ(7, session("grep -q \" /dev/zelk .* fuse.zelkd \" "
                         "/proc/self/mountinfo && test -w /var/run/zelk && "
                         "test -z \"$(ls -A /var/run/zelk | grep -vx "
                         "zelkd.sock)\" && exit 7"));
    EXPECT_EQ(143, session("kill -TERM $$"));
    EXPECT_EQ(127, session("exec /no/such/program"));
    EXPECT_EQ(
        0,
        system((std::string(ZELKD_SESSION_PATH) + " true </dev/null").c_str()))
        << "finds the zelkd beside it";
    EXPECT_NE(0, stat("/dev/zelk", &st)) << "left outside the session";
}

} // namespace
