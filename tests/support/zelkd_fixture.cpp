// Starting and stopping zelkd for tests; see zelkd_fixture.h.
#include "support/zelkd_fixture.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "control_client.h"
#include "driver/protocol.h"
#include "support/child.h"
#include "support/private_dev.h"

namespace zelk::test {

namespace {

using Clock = std::chrono::steady_clock;

bool reapWithin(pid_t pid, int &status, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

const char *zelkdPath()
{
    return ZELK_ZELKD_PATH;
}

std::string zelkdUnavailable()
{
    if (zelkdPath()[0] == '\0')
        return "zelkd is not built in this configuration";
    if (geteuid() != 0)
        return "needs root (zelkd mounts a FUSE filesystem)";
    const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::string("FUSE is not usable: /dev/fuse: ") + strerror(errno);
    close(fd);
    return "";
}

bool deviceAnswers(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    // zelkd refuses a detach on a fresh descriptor with EBADF; a plain file
    // knows no such request (ENOTTY).
    const int rc = ioctl(fd, zelk::protocol::ZELK_IOC_CONNECT_DETACH, 0);
    const int err = errno;
    close(fd);
    return rc == -1 && err == EBADF;
}

std::string enterDriverSandbox()
{
    const std::string why = zelkdUnavailable();
    return why.empty() ? enterPrivateDev() : why;
}

std::string awaitReady(pid_t &pid, const std::function<bool()> &ready,
                       const std::string &what)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!ready()) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return what + " ended while starting, wait status " +
                   std::to_string(status);
        }
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
            return what + " did not answer within 10 s";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return "";
}

std::string zelkdStatus()
{
    std::string answer;
    return zelktool::fetchStatus(zelktool::kDefaultSocket, answer) ==
                   zelktool::Fetch::Ok
               ? answer
               : "";
}

bool awaitStatus(const std::function<bool(const std::string &)> &holds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!holds(zelkdStatus())) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

size_t occurrences(const std::string &text, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

ZelkdProcess::~ZelkdProcess()
{
    stop(SIGKILL);
}

std::string ZelkdProcess::start(const std::string &path,
                                const std::vector<std::string> &extra,
                                const std::vector<std::string> &launcher)
{
    std::vector<std::string> args = launcher;
    for (const char *arg : {zelkdPath(), "-f", "-q", "--device"})
        args.emplace_back(arg);
    args.push_back(path);
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_ = forkChild([&] {
        execv(argv[0], argv.data());
        _exit(127);
    });
    if (pid_ < 0)
        return std::string("fork: ") + strerror(errno);
    return awaitReady(
        pid_, [&] { return deviceAnswers(path); }, "zelkd on " + path);
}

int ZelkdProcess::stop(int signal)
{
    if (pid_ <= 0)
        return -1;
    int status = -1;
    kill(pid_, signal);
    if (!reapWithin(pid_, status, std::chrono::seconds(10))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return status;
}

void ZelkdTest::SetUp()
{
    std::string why = enterDriverSandbox();
    if (!why.empty())
        GTEST_SKIP() << why;
    // Where zelkd can run, failing to start it is a fault, not a skip.
    why = zelkd.start();
    if (!why.empty())
        GTEST_FAIL() << why;
}

void ZelkdTest::TearDown()
{
    if (zelkd.pid() <= 0)
        return;
    const int status = zelkd.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "zelkd did not stop cleanly: wait status " << status;
}

} // namespace zelk::test
