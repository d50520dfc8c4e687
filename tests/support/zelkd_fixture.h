// A zelkd of the test's own: a private /dev (see private_dev.h) with the
// built daemon serving /dev/zelk in it, stopped and reaped afterwards.
#ifndef ZELK_TESTS_SUPPORT_ZELKD_FIXTURE_H
#define ZELK_TESTS_SUPPORT_ZELKD_FIXTURE_H

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/types.h>

namespace zelk::test {

// The zelkd binary of this build, or "" where none is built (i686).
const char *zelkdPath();

// Why the driver cannot run in this process, or "" when it can: needs root,
// a zelkd binary and a usable /dev/fuse.
std::string zelkdUnavailable();

// Checks zelkdUnavailable(), then enters a private /dev (private_dev.h).
// Returns "" or why not, for GTEST_SKIP().
std::string enterDriverSandbox();

// Polls ready() until it holds, while the child pid runs. Returns "", or
// why not after killing and reaping the child (pid is then -1).
std::string awaitReady(pid_t &pid, const std::function<bool()> &ready,
                       const std::string &what);

// One running zelkd, started with -f on a device path.
class ZelkdProcess {
public:
    ZelkdProcess() = default;
    ~ZelkdProcess();
    ZelkdProcess(const ZelkdProcess &) = delete;
    ZelkdProcess &operator=(const ZelkdProcess &) = delete;

    // Starts zelkd with -f, --device path and extra, and waits until the
    // device answers. Returns "" or why not (zelkd is then not running).
    // A launcher (an absolute program path and its arguments) runs zelkd as
    // its last arguments, in the same process.
    std::string start(const std::string &path = "/dev/zelk",
                      const std::vector<std::string> &extra = {},
                      const std::vector<std::string> &launcher = {});

    // Sends signal and reaps zelkd, killing it when it has not ended
    // within a few seconds. Returns its wait status, or -1 if none ran.
    int stop(int signal = SIGTERM);

    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// True once path is served by a zelkd (a request on it gets zelkd's answer,
// not a plain file's).
bool deviceAnswers(const std::string &path);

// zelkd's status document, as its control socket at the default path gives
// it (each test process has a /run of its own), or "" when none answers.
std::string zelkdStatus();

// Polls zelkdStatus() until holds() says yes; false after 10 s. For waiting
// until other threads or processes have reached zelkd (blocked in a send
// or a receive), which nothing else can show.
bool awaitStatus(const std::function<bool(const std::string &)> &holds);

// How many times needle occurs in text (e.g. "\"state\":\"queued\"").
size_t occurrences(const std::string &text, const std::string &needle);

// Test fixture: a private /dev with zelkd serving /dev/zelk. Skips, saying
// why, where zelkd cannot run; fails where it can but does not start.
// TearDown stops zelkd and expects a clean exit.
class ZelkdTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    ZelkdProcess zelkd;
};

} // namespace zelk::test

#endif
