// zelkd against a second, unprivileged user (uid 65534): the channel policy
// keeps service names to their owners, caller text cannot forge log lines,
// and zelkd will not answer callers from another pid namespace's /proc.
#include "zelk.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child.h"
#include "support/syslog_sink.h"
#include "support/zelkd_fixture.h"

namespace {

using zelk::test::dropToUnprivilegedUser;
using zelk::test::inChild;
using zelk::test::ZelkdProcess;

class UntrustedPolicyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = zelk::test::enterDriverSandbox();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
};

void writeFile(const char *path, const char *text)
{
    std::ofstream(path) << text;
}

// Runs argv to its end; returns its wait status and output.
int run(std::vector<std::string> args, std::string &output)
{
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    char chunk[512];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
        output.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

// The unprivileged user's create of name: 0, or the errno of its failure.
int createAsNobody(const char *name)
{
    return inChild([name] {
        ASSERT_EQ("", dropToUnprivilegedUser());
        const int channel = zelkChannelCreate(name);
        if (channel < 0)
            _exit(errno);
        zelkChannelDestroy(channel);
    });
}

TEST_F(UntrustedPolicyTest, PolicyKeepsNamesToTheirOwnersAndReloads)
{
    const char *policy = "/dev/zelk-policy.conf";
    writeFile(policy, "own svc.* root\nattach svc.secret root @4321\n");
    ZelkdProcess zelkd;
    ASSERT_EQ("", zelkd.start("/dev/zelk", {"--policy", policy}));
    const int server = zelkChannelCreate("svc.secret");
    ASSERT_GE(server, 0) << strerror(errno);

    EXPECT_EQ(EACCES, createAsNobody("svc.other"));
    EXPECT_EQ(0, createAsNobody("scratch")); // no rule: open
    EXPECT_EQ(0, inChild([] {
                  ASSERT_EQ("", dropToUnprivilegedUser());
                  errno = 0;
                  EXPECT_EQ(-1, zelkConnectAttach("svc.secret"));
                  EXPECT_EQ(EACCES, errno);
              }));
    // Listed by a supplementary group only.
    EXPECT_EQ(0, inChild([] {
                  ASSERT_EQ("", zelk::test::dropToUser(65533, 65533, {4321}));
                  const int connection = zelkConnectAttach("svc.secret");
                  EXPECT_GE(connection, 0) << strerror(errno);
              }));

    // A bad file on SIGHUP keeps the old policy, and zelkd keeps serving.
    writeFile(policy, "own svc.* no-such-user-here\n");
    ASSERT_EQ(0, kill(zelkd.pid(), SIGHUP));
    usleep(300 * 1000);
    ASSERT_TRUE(zelk::test::deviceAnswers("/dev/zelk"));
    EXPECT_EQ(EACCES, createAsNobody("svc.other"));

    // A good one applies to later creates; the existing channel runs on.
    writeFile(policy, "own svc.* *\n");
    ASSERT_EQ(0, kill(zelkd.pid(), SIGHUP));
    int err = EACCES;
    for (int i = 0; i < 500 && err == EACCES; ++i) {
        usleep(20 * 1000);
        err = createAsNobody("svc.other");
    }
    EXPECT_EQ(0, err);
    const int connection = zelkConnectAttach("svc.secret");
    EXPECT_GE(connection, 0) << strerror(errno);
    EXPECT_EQ(0, zelkConnectDetach(connection));
    EXPECT_EQ(0, zelkChannelDestroy(server));
    const int status = zelkd.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // A bad file at start: zelkd refuses, naming the file and line.
    writeFile(policy, "own a root\n\nown b no-such-user-here\n");
    std::string output;
    const int refused =
        run({zelk::test::zelkdPath(), "-f", "--policy", policy}, output);
    EXPECT_TRUE(WIFEXITED(refused) && WEXITSTATUS(refused) == 1) << refused;
    EXPECT_NE(
        std::string::npos,
        output.find(std::string(policy) + ":3: unknown user no-such-user-here"))
        << output;
}

TEST_F(UntrustedPolicyTest, ChannelNamesCannotForgeLogLines)
{
    zelk::test::SyslogSink sink;
    ASSERT_EQ("", sink.bind("/dev/log"));
    ZelkdProcess zelkd;
    ASSERT_EQ("", zelkd.start("/dev/zelk", {"--log", "syslog", "-v"}));
    EXPECT_EQ(0, createAsNobody("x\nzelkd: stopped\r\x1b[1A"));
    const int status = zelkd.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    int stopped = 0;
    bool escaped = false;
    for (const auto &record : sink.collect()) {
        EXPECT_EQ(std::string::npos, record.message.find_first_of("\n\r\x1b"))
            << record.message;
        stopped += record.message == "stopped";
        escaped =
            escaped || record.message.find("x\\nzelkd: stopped\\x0d\\x1b[1A") !=
                           std::string::npos;
    }
    EXPECT_EQ(1, stopped);
    EXPECT_TRUE(escaped);
}

// Over a /proc of another pid namespace, a caller's pid would name some
// other process: zelkd refuses to start rather than answer for it.
TEST_F(UntrustedPolicyTest, RefusesAProcOfAnotherPidNamespace)
{
    if (access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/unshare";
    std::string output;
    const int status = run({"/usr/bin/timeout", "10", "/usr/bin/unshare",
                            "--pid", "--fork", zelk::test::zelkdPath(), "-f"},
                           output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(std::string::npos, output.find("pid namespace")) << output;
    EXPECT_FALSE(zelk::test::deviceAnswers("/dev/zelk"));
}

} // namespace
