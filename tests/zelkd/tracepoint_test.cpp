// The tracepoints are in the built library and daemon (their ELF notes),
// and, where bpftrace can attach here, a thread's start fires its probe.
#include "zelk.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string output(const std::string &command)
{
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
            out.append(chunk, n);
        pclose(pipe);
    }
    return out;
}

TEST(Tracepoints, AreInTheLibraryAndTheDaemon)
{
    const std::string library =
        output(std::string("readelf -n ") + ZELK_LIBRARY_PATH);
    for (const char *probe :
         {"send_entry", "send_return", "receive_entry", "receive_return",
          "reply_entry", "reply_return", "timer_expire", "timer_callback_start",
          "timer_callback_end", "thread_start", "thread_end"})
        EXPECT_NE(library.find(std::string("Name: ") + probe),
                  std::string::npos)
            << probe;
    EXPECT_NE(library.find("Provider: zelk"), std::string::npos);
    const std::string daemon = output(std::string("readelf -n ") + ZELKD_PATH);
    EXPECT_NE(daemon.find("Name: request_start"), std::string::npos);
    EXPECT_NE(daemon.find("Name: request_answer"), std::string::npos);
    EXPECT_NE(daemon.find("Provider: zelkd"), std::string::npos);
}

void *noop(void *)
{
    return nullptr;
}

TEST(Tracepoints, ThreadStartFiresUnderBpftrace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "bpftrace needs root";
    if (output("bpftrace -e 'BEGIN { printf(\"ok\\n\"); exit(); }' 2>&1")
            .find("ok") == std::string::npos)
        GTEST_SKIP() << "bpftrace is missing or cannot load programs here";

    const std::string program = std::string("usdt:") + ZELK_LIBRARY_PATH +
                                ":zelk:thread_start { printf(\"tid %d\\n\", "
                                "arg0); exit(); }";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string self = std::to_string(getpid());
    const pid_t tracer = fork();
    if (tracer == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // gone with the test, however it ends
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execlp("bpftrace", "bpftrace", "-p", self.c_str(), "-e",
               program.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    // Start threads until the tracer has attached and reports one.
    std::string seen;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (seen.find("tid ") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pthread_t thread;
        ASSERT_EQ(zelkThreadCreate(&thread, nullptr, noop, nullptr), 0);
        pthread_join(thread, nullptr);
        pollfd ready{fds[0], POLLIN, 0};
        if (poll(&ready, 1, 50) == 1) {
            char chunk[256];
            const ssize_t n = read(fds[0], chunk, sizeof chunk);
            if (n <= 0)
                break;
            seen.append(chunk, static_cast<size_t>(n));
        }
    }
    kill(tracer, SIGTERM);
    waitpid(tracer, nullptr, 0);
    close(fds[0]);
    EXPECT_NE(seen.find("tid "), std::string::npos) << seen;
}

} // namespace
