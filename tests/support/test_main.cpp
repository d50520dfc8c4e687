// The test programs' main. As root it first moves the process into a mount
// namespace of its own with an empty tmpfs over /run (which /var/run points
// to), so that marker files of the threads a test starts, and whatever else a
// test leaves under /run, never reach the host: a thread still running when
// its process ends (the timer worker always is) keeps its marker file.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

void isolateRun()
{
    if (geteuid() != 0)
        return; // tests that need the marker directory skip without root
    char run[PATH_MAX];
    if (realpath("/var/run", run) == nullptr)
        return;
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_PRIVATE | MS_REC, nullptr) != 0 ||
        mount("zelk-test-run", run, "tmpfs", MS_NOSUID | MS_NODEV,
              "mode=0755") != 0)
        fprintf(stderr, "note: tests share the host's %s: %s\n", run,
                strerror(errno));
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    isolateRun();
    return RUN_ALL_TESTS();
}
