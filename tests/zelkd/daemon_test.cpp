// zelkd as a program: its command line, refusals, stale mounts, the device
// file's permissions, logging, and a shutdown that leaves no caller waiting.
#include "zelk.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/protocol.h"
#include "support/child.h"
#include "support/gate.h"
#include "support/syslog_sink.h"
#include "support/zelkd_fixture.h"

namespace {

using zelk::test::zelkdPath;
using zelk::test::ZelkdProcess;

struct Outcome {
    int status = -1;
    std::string output; // standard output and error together
};

// Runs zelkd with args to its end, optionally as an unprivileged user.
Outcome runZelkd(const std::vector<std::string> &args,
                 bool unprivileged = false)
{
    std::vector<std::string> all = {zelkdPath()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : all)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        if (unprivileged && !zelk::test::dropToUnprivilegedUser().empty())
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    Outcome run;
    char chunk[512];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
        run.output.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    waitpid(pid, &run.status, 0);
    return run;
}

bool exitedWith(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = zelk::test::enterDriverSandbox();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
};

TEST_F(DaemonTest, CommandLineAndRefusals)
{
    Outcome run = runZelkd({"--help"});
    EXPECT_TRUE(exitedWith(run.status, 0));
    EXPECT_NE(std::string::npos, run.output.find("usage: zelkd"));
    EXPECT_NE(std::string::npos, run.output.find("--max-message"));

    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"--bogus"},
          {"--mode", "999"},
          {"--log", "file"},
          {"--max-message", "16Q"},
          {"--max-message", "32M", "--max-queued", "16M"},
          {"extra"},
          {"--owner", "no-such-user-here"}}) {
        run = runZelkd(bad);
        EXPECT_TRUE(exitedWith(run.status, 2)) << bad[0] << ": " << run.output;
    }

    run = runZelkd({"-f", "--device", "/dev/zelk"}, true);
    EXPECT_TRUE(exitedWith(run.status, 1)) << run.status;
    EXPECT_NE(std::string::npos, run.output.find("must run as root"))
        << run.output;
    run = runZelkd({"-f", "--device", "relative/zelk"});
    EXPECT_TRUE(exitedWith(run.status, 1)) << run.output;
    mkdir("/dev/dir", 0755);
    run = runZelkd({"-f", "--device", "/dev/dir"});
    EXPECT_TRUE(exitedWith(run.status, 1)) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("not a regular file"))
        << run.output;
}

TEST_F(DaemonTest, StaleMountIsClearedAndALiveOneRefused)
{
    ZelkdProcess first;
    ASSERT_EQ("", first.start());
    Outcome run = runZelkd({"-f", "--device", "/dev/zelk"});
    EXPECT_TRUE(exitedWith(run.status, 1));
    EXPECT_NE(std::string::npos, run.output.find("answers")) << run.output;

    // A daemon that dies leaves its mount behind, answering ENOTCONN; a
    // caller waiting in it fails with ECONNABORTED.
    const int waiting = zelkChannelCreate("waiting");
    ASSERT_GE(waiting, 0);
    int receiveErrno = 0;
    std::thread receiver([&] {
        char buffer[4];
        if (zelkMsgReceive(waiting, buffer, sizeof buffer, nullptr) == -1)
            receiveErrno = errno;
    });
    // Waiting in zelkd, not yet on its way there.
    EXPECT_TRUE(zelk::test::awaitStatus([](const std::string &status) {
        return status.find("\"receivers\":[{") != std::string::npos;
    }));
    first.stop(SIGKILL);
    receiver.join();
    EXPECT_EQ(ECONNABORTED, receiveErrno);
    errno = 0;
    EXPECT_EQ(-1, open("/dev/zelk", O_RDWR));
    EXPECT_EQ(ENOTCONN, errno);

    ZelkdProcess second;
    ASSERT_EQ("", second.start());
    const int channel = zelkChannelCreate("after-restart");
    EXPECT_GE(channel, 0) << strerror(errno);
    EXPECT_EQ(0, zelkChannelDestroy(channel));
    const int status = second.stop();
    EXPECT_TRUE(exitedWith(status, 0)) << status;
    // The file the first daemon created goes with the second.
    struct stat st;
    EXPECT_NE(0, stat("/dev/zelk", &st));
}

// The threads of process pid, other than its main thread, on which signal
// sig is not blocked.
std::vector<std::string> threadsTaking(pid_t pid, int sig)
{
    std::vector<std::string> taking;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return {"(no " + tasks + ")"};
    while (const dirent *entry = readdir(dir)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == ".." || tid == std::to_string(pid))
            continue;
        FILE *status = fopen((tasks + "/" + tid + "/status").c_str(), "r");
        if (status == nullptr)
            continue; // ended meanwhile
        char line[256];
        unsigned long long blocked = 0;
        while (fgets(line, sizeof line, status) != nullptr)
            if (sscanf(line, "SigBlk: %llx", &blocked) == 1)
                break;
        fclose(status);
        if ((blocked & (1ull << (sig - 1))) == 0)
            taking.push_back(tid);
    }
    closedir(dir);
    return taking;
}

TEST_F(DaemonTest, StopFailsEveryWaiterAndRemovesTheFile)
{
    ZelkdProcess zelkd;
    ASSERT_EQ("", zelkd.start());
    const int receiving = zelkChannelCreate("receiving");
    const int queuing = zelkChannelCreate("queuing");
    ASSERT_GE(receiving, 0);
    ASSERT_GE(queuing, 0);
    zelk::test::Gate attached;
    const pid_t sender = zelk::test::forkChild([&] {
        const int connection = zelkConnectAttach("queuing");
        attached.open();
        errno = 0;
        EXPECT_EQ(-1, zelkMsgSend(connection, "m", 1, nullptr, 0));
        EXPECT_EQ(ENOTCONN, errno);
    });
    int receiveErrno = 0;
    std::thread receiver([&] {
        char buffer[4];
        if (zelkMsgReceive(receiving, buffer, sizeof buffer, nullptr) == -1)
            receiveErrno = errno;
    });
    // Requests that reach zelkd before it stops fail as waiters, later ones
    // as requests on a stopped daemon's descriptors: ENOTCONN either way.
    attached.wait();
    usleep(100 * 1000);
    // Only the main thread takes the stopping signals: one that reached
    // any other thread would end zelkd without failing anybody.
    for (int sig : {SIGTERM, SIGINT})
        EXPECT_EQ(threadsTaking(zelkd.pid(), sig), std::vector<std::string>{})
            << sig;
    const int status = zelkd.stop(SIGTERM);
    EXPECT_TRUE(exitedWith(status, 0)) << status;
    receiver.join();
    EXPECT_EQ(ENOTCONN, receiveErrno);
    EXPECT_EQ(0, zelk::test::waitChild(sender));

    // Descriptors of the stopped daemon fail; the file it created is gone.
    char buffer[4];
    errno = 0;
    EXPECT_EQ(-1, zelkMsgReceive(queuing, buffer, sizeof buffer, nullptr));
    EXPECT_EQ(ENOTCONN, errno);
    struct stat st;
    EXPECT_NE(0, stat("/dev/zelk", &st));
    errno = 0;
    EXPECT_EQ(-1, zelkChannelCreate("later"));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(DaemonTest, DeviceFileHasTheGivenPermissions)
{
    {
        ZelkdProcess zelkd;
        ASSERT_EQ("", zelkd.start("/dev/zelk",
                                  {"--mode", "0660", "--group", "4321"}));
        struct stat st;
        ASSERT_EQ(0, stat("/dev/zelk", &st));
        EXPECT_EQ(S_IFREG | 0660u, st.st_mode);
        EXPECT_EQ(0u, st.st_uid);
        EXPECT_EQ(4321u, st.st_gid);
        EXPECT_EQ(0, zelk::test::inChild([] {
                      ASSERT_EQ("", zelk::test::dropToUnprivilegedUser());
                      errno = 0;
                      EXPECT_EQ(-1, zelkChannelCreate("denied"));
                      EXPECT_EQ(EACCES, errno);
                  }));
    }
    // With the default mode anyone may exchange messages.
    ZelkdProcess zelkd;
    ASSERT_EQ("", zelkd.start());
    const int channel = zelkChannelCreate("open-to-all");
    ASSERT_GE(channel, 0);
    const pid_t client = zelk::test::forkChild([] {
        ASSERT_EQ("", zelk::test::dropToUnprivilegedUser());
        const int connection = zelkConnectAttach("open-to-all");
        ASSERT_GE(connection, 0) << strerror(errno);
        char reply[8] = {};
        EXPECT_EQ(2, zelkMsgSend(connection, "ping", 5, reply, sizeof reply));
        EXPECT_STREQ("pong", reply);
    });
    char buffer[8] = {};
    const int receiveId =
        zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ASSERT_GT(receiveId, 0);
    EXPECT_STREQ("ping", buffer);
    EXPECT_EQ(0, zelkMsgReply(receiveId, 2, "pong", 5));
    EXPECT_EQ(0, zelk::test::waitChild(client));
}

TEST_F(DaemonTest, LogsToTheSystemLogWhenAsked)
{
    zelk::test::SyslogSink sink;
    ASSERT_EQ("", sink.bind("/dev/log"));
    ZelkdProcess zelkd;
    ASSERT_EQ("", zelkd.start("/dev/zelk", {"--log", "syslog", "-v"}));
    const int channel = zelkChannelCreate("logged");
    ASSERT_GE(channel, 0);
    EXPECT_EQ(0, zelkChannelDestroy(channel));
    EXPECT_TRUE(exitedWith(zelkd.stop(), 0));
    std::string all;
    for (const auto &record : sink.collect())
        all += record.ident + ": " + record.message + "\n";
    EXPECT_NE(std::string::npos, all.find("serving /dev/zelk")) << all;
    EXPECT_NE(std::string::npos, all.find("create")) << all;
    EXPECT_NE(std::string::npos, all.find("stopped")) << all;
}

} // namespace
