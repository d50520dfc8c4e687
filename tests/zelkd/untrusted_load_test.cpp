// zelkd among users who do not trust each other: an unprivileged attacker
// (uid 65534) against a real zelkd tries to stall other callers with memory
// that never pages in, to catch a reply meant for another user by cycling
// message ids, and to use up what all users share.
#define FUSE_USE_VERSION 31
#include "zelk.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child.h"
#include "support/expect_fails.h"
#include "support/gate.h"
#include "support/zelkd_fixture.h"

namespace {

using namespace std::chrono_literals;
using zelk::test::dropToUnprivilegedUser;
using zelk::test::forkChild;
using zelk::test::Gate;
using zelk::test::waitChild;
using Clock = std::chrono::steady_clock;

constexpr off_t kStallSize = 65536;
int stallSeen = -1; // the stalling filesystem tells of each read here

// A one-file filesystem whose reads are never answered: a page of its file
// never comes in.
void stallGetattr(fuse_req_t req, fuse_ino_t, fuse_file_info *)
{
    struct stat st {};
    st.st_ino = FUSE_ROOT_ID;
    st.st_mode = S_IFREG | 0444;
    st.st_nlink = 1;
    st.st_size = kStallSize;
    fuse_reply_attr(req, &st, 3600);
}

void stallOpen(fuse_req_t req, fuse_ino_t, fuse_file_info *fi)
{
    fuse_reply_open(req, fi);
}

void stallRead(fuse_req_t, fuse_ino_t, size_t, off_t, fuse_file_info *)
{
    (void)!write(stallSeen, "r", 1); // and no reply, ever
}

void serveStallingFile(const char *path)
{
    fuse_lowlevel_ops ops{};
    ops.getattr = stallGetattr;
    ops.open = stallOpen;
    ops.read = stallRead;
    const char *argv[] = {"stall", "-o", "allow_other"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char **>(argv));
    fuse_session *session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    if (session == nullptr || fuse_session_mount(session, path) != 0)
        _exit(1);
    fuse_session_loop(session);
    _exit(0);
}

// Waits up to limit for the child; its inChild-style result, or -1 after
// killing it when it did not end in time (not reaped: a caller stuck in a
// request that is never answered cannot end).
int waitWithin(pid_t pid, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void dropPrivileges()
{
    const std::string why = dropToUnprivilegedUser();
    ASSERT_EQ("", why);
}

using UntrustedLoadTest = zelk::test::ZelkdTest;

TEST_F(UntrustedLoadTest, MemoryThatNeverComesHoldsUpOnlyItsOwnRequest)
{
    const int channel = zelkChannelCreate("victim");
    ASSERT_GE(channel, 0) << strerror(errno);
    std::thread server([channel] {
        char buffer[16];
        int receiveId;
        while ((receiveId = zelkMsgReceive(channel, buffer, sizeof buffer,
                                           nullptr)) > 0)
            zelkMsgReply(receiveId, 0, "pong", 5);
    });

    int seen[2];
    ASSERT_EQ(0, pipe(seen));
    close(open("/dev/stall", O_WRONLY | O_CREAT, 0644));
    stallSeen = seen[1];
    const pid_t filesystem = forkChild([] { serveStallingFile("/dev/stall"); });
    struct stat st {};
    for (int i = 0; i < 2000 && st.st_size != kStallSize; ++i) {
        std::this_thread::sleep_for(5ms);
        stat("/dev/stall", &st);
    }
    ASSERT_EQ(kStallSize, st.st_size) << "the stalling filesystem is not up";

    // The attacker sends from a page of that file, from more processes than
    // zelkd has threads: each copy stalls, and those past the attacker's share of
    // zelkd's threads are refused with EAGAIN instead of taking them all.
    const pid_t attacker = forkChild([] {
        dropPrivileges();
        const int fd = open("/dev/stall", O_RDONLY);
        ASSERT_GE(fd, 0) << strerror(errno);
        void *page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
        ASSERT_NE(MAP_FAILED, page);
        const int connection = zelkConnectAttach("victim");
        ASSERT_GE(connection, 0);
        // Processes, not threads: a forked child may not start threads
        // under ThreadSanitizer.
        std::vector<pid_t> senders;
        for (int i = 0; i < 80; ++i) {
            const pid_t sender = fork();
            if (sender == 0) {
                // Until zelkd ends, or EAGAIN at once.
                zelkMsgSend(connection, page, 4096, nullptr, 0);
                _exit(0);
            }
            if (sender > 0)
                senders.push_back(sender);
        }
        for (const pid_t sender : senders)
            waitpid(sender, nullptr, 0);
    });
    pollfd read{seen[0], POLLIN, 0};
    ASSERT_EQ(1, poll(&read, 1, 10000)) << "zelkd never read the page";

    // Another user's round trip still completes.
    const pid_t client = forkChild([] {
        const int connection = zelkConnectAttach("victim");
        ASSERT_GE(connection, 0);
        char reply[8] = {};
        EXPECT_EQ(0, zelkMsgSend(connection, "ping", 5, reply, sizeof reply));
        EXPECT_STREQ("pong", reply);
    });
    // The limits here and below only catch hangs: a loaded machine with
    // sanitizers may take seconds (zelkd's stop alone waits 2 s for the
    // stuck copy).
    EXPECT_EQ(0, waitWithin(client, 15s)) << "the round trip hung";

    // SIGTERM still stops zelkd, leaving the stuck copy behind.
    kill(zelkd.pid(), SIGTERM);
    siginfo_t ended{};
    const auto deadline = Clock::now() + 15s;
    while (
        (waitid(P_PID, zelkd.pid(), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
         ended.si_pid == 0) &&
        Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_NE(0, ended.si_pid) << "SIGTERM did not stop zelkd within 15 s";
    kill(filesystem, SIGKILL); // the page's read fails: nothing waits on it
    waitChild(filesystem);
    const int status = zelkd.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    server.join();
    EXPECT_GE(waitWithin(attacker, 5000ms), 0) << "the attacker hung";
    close(seen[0]);
    close(seen[1]);
}

TEST_F(UntrustedLoadTest, LateReplyNeverReachesTheNextHolderOfItsId)
{
    const int channel = zelkChannelCreate("slow");
    ASSERT_GE(channel, 0) << strerror(errno);
    const pid_t victim = forkChild([] {
        const int connection = zelkConnectAttach("slow");
        char reply[16];
        zelkMsgSend(connection, "mine", 5, reply, sizeof reply);
    });
    char buffer[16];
    const int held = zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ASSERT_GT(held, 0) << strerror(errno);
    kill(victim, SIGKILL); // gone while the server holds its message
    waitChild(victim);

    // The attacker cycles through every id with quick round trips; should
    // the held id come round, the late reply meant for the victim goes.
    constexpr int kRounds = 0x7FFF;
    const pid_t attacker = forkChild([] {
        dropPrivileges();
        const int connection = zelkConnectAttach("slow");
        ASSERT_GE(connection, 0);
        for (int i = 0; i < kRounds; ++i) {
            char reply[16] = {};
            ASSERT_EQ(0, zelkMsgSend(connection, "x", 1, reply, sizeof reply));
            ASSERT_STREQ("ok", reply) << "round " << i;
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        const int receiveId =
            zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
        ASSERT_GT(receiveId, 0) << strerror(errno);
        if ((receiveId >> 16) == (held >> 16))
            zelkMsgReply(held, 0, "for the victim", 15);
        ASSERT_EQ(0, zelkMsgReply(receiveId, 0, "ok", 3)) << strerror(errno);
    }
    EXPECT_EQ(0, waitChild(attacker));
    EXPECT_FAILS(ESRCH, zelkMsgReply(held, 0, "for the victim", 15));
}

TEST_F(UntrustedLoadTest, AUserOverItsBoundsIsRefusedAndNobodyElse)
{
    zelkd.stop();
    const std::string why =
        zelkd.start("/dev/zelk", {"--max-message", "1M", "--max-queued", "8M",
                                  "--user-queued", "2M", "--user-channels", "4",
                                  "--user-messages", "3"});
    ASSERT_EQ("", why);
    const int service = zelkChannelCreate("service");
    ASSERT_GE(service, 0) << strerror(errno);

    Gate full;
    const pid_t attacker = forkChild([&] {
        dropPrivileges();
        std::vector<int> own;
        for (int i = 0; i < 4; ++i)
            own.push_back(
                zelkChannelCreate(("own" + std::to_string(i)).c_str()));
        EXPECT_GE(own.back(), 0) << strerror(errno);
        EXPECT_FAILS(ENOBUFS, zelkChannelCreate("one-too-many"));

        // Sends that block: 1 MiB queued on its own channel, which never
        // receives, and 3 bytes in 3 messages on the service's.
        static std::vector<unsigned char> data(1u << 20);
        const int sink = zelkConnectAttach("own0");
        const int victim = zelkConnectAttach("service");
        std::thread([sink] {
            zelkMsgSend(sink, data.data(), data.size(), nullptr, 0);
        }).detach();
        for (int i = 0; i < 3; ++i)
            std::thread([victim] {
                zelkMsgSend(victim, "x", 1, nullptr, 0);
            }).detach();
        EXPECT_TRUE(zelk::test::awaitStatus([](const std::string &status) {
            return zelk::test::occurrences(status, "\"state\":\"queued\"") == 4;
        })) << "the four sends are not all queued";
        EXPECT_FAILS(ENOBUFS,
                     zelkMsgSend(sink, data.data(), data.size(), nullptr, 0));
        EXPECT_FAILS(ENOBUFS, zelkMsgSend(victim, "x", 1, nullptr, 0));
        full.open();
        pause();
    });
    ASSERT_TRUE(full.wait());

    // Root is not held to the attacker's count.
    const int extra = zelkChannelCreate("root-extra");
    EXPECT_GE(extra, 0) << strerror(errno);
    const int connection = zelkConnectAttach("service");
    ASSERT_GE(connection, 0);
    std::vector<unsigned char> data(1u << 20, 7);
    std::thread client([&] {
        EXPECT_EQ(0,
                  zelkMsgSend(connection, data.data(), data.size(), nullptr, 0))
            << strerror(errno);
    });
    std::vector<unsigned char> buffer(1u << 20);
    for (int i = 0; i < 4; ++i) { // the attacker's three, then root's
        const int receiveId =
            zelkMsgReceive(service, buffer.data(), buffer.size(), nullptr);
        ASSERT_GT(receiveId, 0) << strerror(errno);
        EXPECT_EQ(0, zelkMsgReply(receiveId, 0, nullptr, 0));
    }
    client.join();
    kill(attacker, SIGKILL);
    waitChild(attacker);
}

} // namespace
