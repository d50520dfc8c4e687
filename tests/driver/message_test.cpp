// Send, receive and reply between processes through a running zelkd: data
// integrity, truncation, the rules for ids, signals and endings, bad
// addresses, size bounds, and many clients at once.
#include "zelk.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include "driver/compat_run.h"
#include "support/child.h"
#include "support/expect_fails.h"
#include "support/gate.h"
#include "support/zelkd_fixture.h"

namespace {

using zelk::test::forkChild;
using zelk::test::Gate;
using zelk::test::waitChild;

void *const kBadAddress = reinterpret_cast<void *>(16);
constexpr uint32_t kMaxMessage = 16u << 20;

std::vector<unsigned char> pattern(size_t size, unsigned seed)
{
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>((i * 31 + seed) >> 3);
    return bytes;
}

void onSignal(int) {}

// Sends SIGALRM to this process every ms milliseconds until stopAlarms(),
// so that a call entered late is still interrupted. The handler does
// nothing: only the interrupted call notices.
void startAlarms(int ms)
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGALRM, &action, nullptr);
    itimerval timer{};
    timer.it_value.tv_usec = ms * 1000;
    timer.it_interval = timer.it_value;
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void stopAlarms()
{
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
}

class MessageTest : public zelk::test::ZelkdTest {
protected:
    void SetUp() override
    {
        ZelkdTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        channel = zelkChannelCreate("service");
        ASSERT_GE(channel, 0) << strerror(errno);
    }

    // A client process: attaches to the service and runs body with its
    // connection id.
    pid_t client(const std::function<void(int)> &body)
    {
        return forkChild([body] {
            const int connection = zelkConnectAttach("service");
            ASSERT_GE(connection, 0) << strerror(errno);
            body(connection);
        });
    }

    int channel = -1;
};

TEST_F(MessageTest, ExchangeKeepsEveryByteAndPassesTheStatus)
{
    const size_t sizes[] = {0, 1, 64, 4097, 1u << 20};
    const int statuses[] = {0, -5, 7, 123456, INT32_MIN};
    const pid_t pid = client([&](int connection) {
        for (unsigned i = 0; i < 5; ++i) {
            const auto data = pattern(sizes[i], i);
            std::vector<unsigned char> reply(sizes[i] + 1, 0xEE);
            EXPECT_EQ(statuses[i],
                      zelkMsgSend(connection, data.data(), sizes[i],
                                  reply.data(), sizes[i]));
            EXPECT_EQ(
                pattern(sizes[i], i + 100),
                std::vector<unsigned char>(reply.begin(), reply.end() - 1));
            EXPECT_EQ(0xEE, reply.back()) << "written past the reply size";
        }
    });
    std::vector<unsigned char> buffer((1u << 20) + 16);
    for (unsigned i = 0; i < 5; ++i) {
        uint32_t info = 0;
        const int receiveId =
            zelkMsgReceive(channel, buffer.data(), buffer.size(), &info);
        ASSERT_GT(receiveId, 0) << strerror(errno);
        EXPECT_EQ(channel, receiveId & 0xFFFF);
        EXPECT_NE(0, receiveId >> 16);
        EXPECT_EQ(sizes[i], info);
        const auto sent = pattern(sizes[i], i);
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
        const auto answer = pattern(sizes[i], i + 100);
        EXPECT_EQ(0, zelkMsgReply(receiveId, statuses[i], answer.data(),
                                  answer.size()));
    }
    EXPECT_EQ(0, waitChild(pid));
}

TEST_F(MessageTest, TruncationBothWaysAndRepliesMatchOnce)
{
    const pid_t pid = client([](int connection) {
        const auto data = pattern(100, 1);
        std::vector<unsigned char> reply(20, 0xEE);
        EXPECT_EQ(3,
                  zelkMsgSend(connection, data.data(), 100, reply.data(), 10));
        EXPECT_EQ(0, memcmp(pattern(100, 2).data(), reply.data(), 10));
        EXPECT_EQ(std::vector<unsigned char>(10, 0xEE),
                  std::vector<unsigned char>(reply.begin() + 10, reply.end()));
        // No buffers at all: nothing is copied either way.
        EXPECT_EQ(0, zelkMsgSend(connection, nullptr, 0, nullptr, 0));
    });
    std::vector<unsigned char> buffer(20, 0xEE);
    uint32_t info = 0;
    const int receiveId = zelkMsgReceive(channel, buffer.data(), 10, &info);
    ASSERT_GT(receiveId, 0) << strerror(errno);
    EXPECT_EQ(100u, info) << "the full size sent shows the truncation";
    EXPECT_EQ(0, memcmp(pattern(100, 1).data(), buffer.data(), 10));
    EXPECT_EQ(0xEE, buffer[10]);
    const auto answer = pattern(100, 2);
    EXPECT_EQ(0, zelkMsgReply(receiveId, 3, answer.data(), 100));
    EXPECT_FAILS(ESRCH, zelkMsgReply(receiveId, 3, answer.data(), 100));
    EXPECT_FAILS(ESRCH, zelkMsgReply((0x7FFE << 16) | channel, 0, nullptr, 0));

    const int second = zelkMsgReceive(channel, nullptr, 0, nullptr);
    ASSERT_GT(second, 0) << strerror(errno);
    EXPECT_NE(receiveId, second) << "an id stays unique while unanswered";
    EXPECT_EQ(0, zelkMsgReply(second, 0, nullptr, 0));
    EXPECT_EQ(0, waitChild(pid));
}

TEST_F(MessageTest, ServerEndFailsItsSendersWithEpipe)
{
    Gate attached;
    Gate received;
    const pid_t server = forkChild([&] {
        const int own = zelkChannelCreate("short-lived");
        ASSERT_GE(own, 0);
        attached.wait(); // both clients are attached
        attached.wait();
        char buffer[8];
        ASSERT_GT(zelkMsgReceive(own, buffer, sizeof buffer, nullptr), 0);
        received.open();
        // The second send gets queued meanwhile.
        EXPECT_TRUE(zelk::test::awaitStatus([](const std::string &status) {
            return status.find("\"queuedMessages\":1") != std::string::npos;
        }));
        // Exits with one message received and one queued, neither answered.
    });
    auto sender = [&](bool first) {
        return forkChild([&, first] {
            int connection = -1;
            for (int i = 0; i < 10000 && connection < 0; ++i) {
                connection = zelkConnectAttach("short-lived");
                if (connection < 0)
                    usleep(1000);
            }
            ASSERT_GE(connection, 0) << "the server's channel never appeared";
            attached.open();
            if (!first)
                received.wait();
            char reply[8];
            EXPECT_FAILS(EPIPE, zelkMsgSend(connection, "m", 1, reply, 8));
            EXPECT_FAILS(EPIPE, zelkMsgSend(connection, "m", 1, reply, 8));
        });
    };
    const pid_t first = sender(true);
    const pid_t second = sender(false);
    EXPECT_EQ(0, waitChild(first));
    EXPECT_EQ(0, waitChild(second));
    EXPECT_EQ(0, waitChild(server));
}

// Messages of different senders are received in the order they arrived,
// and a receive waiting on a channel that ends fails with EBADF.
TEST_F(MessageTest, ArrivalOrderAcrossSendersAndAnEndingUnderAReceive)
{
    std::vector<pid_t> senders;
    for (char name : {'a', 'b', 'c', 'd'}) {
        senders.push_back(client([name](int connection) {
            EXPECT_EQ(0, zelkMsgSend(connection, &name, 1, nullptr, 0));
        }));
        // Queued before the next sender starts.
        const std::string queued =
            "\"queuedMessages\":" + std::to_string(senders.size());
        EXPECT_TRUE(zelk::test::awaitStatus([&](const std::string &status) {
            return status.find(queued) != std::string::npos;
        })) << queued;
    }
    std::string order;
    for (size_t i = 0; i < senders.size(); ++i) {
        char name = 0;
        const int receiveId = zelkMsgReceive(channel, &name, 1, nullptr);
        ASSERT_GT(receiveId, 0) << strerror(errno);
        order += name;
        EXPECT_EQ(0, zelkMsgReply(receiveId, 0, nullptr, 0));
    }
    EXPECT_EQ("abcd", order);
    for (pid_t pid : senders)
        EXPECT_EQ(0, waitChild(pid));

    std::thread receiver([&] {
        char buffer[8];
        EXPECT_FAILS(EBADF,
                     zelkMsgReceive(channel, buffer, sizeof buffer, nullptr));
    });
    EXPECT_TRUE(zelk::test::awaitStatus([](const std::string &status) {
        return status.find("\"receivers\":[{") != std::string::npos;
    })) << "the receive does not wait";
    EXPECT_EQ(0, zelkChannelDestroy(channel));
    receiver.join();
}

TEST_F(MessageTest, SignalEndsWaitsWithEintr)
{
    char buffer[16] = {};
    startAlarms(50);
    EXPECT_FAILS(EINTR,
                 zelkMsgReceive(channel, buffer, sizeof buffer, nullptr));
    stopAlarms();

    // A queued send that is interrupted is withdrawn.
    Gate interrupted;
    pid_t pid = client([&](int connection) {
        startAlarms(50);
        EXPECT_FAILS(EINTR, zelkMsgSend(connection, "first", 6, nullptr, 0));
        stopAlarms();
        interrupted.open();
        EXPECT_EQ(0, zelkMsgSend(connection, "second", 7, nullptr, 0));
    });
    interrupted.wait();
    int receiveId = zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ASSERT_GT(receiveId, 0);
    EXPECT_STREQ("second", buffer);
    EXPECT_EQ(0, zelkMsgReply(receiveId, 0, nullptr, 0));
    EXPECT_EQ(0, waitChild(pid));

    // A received message whose sender is interrupted has nobody to answer.
    // Once received, its sender is surely waiting for the reply.
    pid = client([&](int connection) {
        EXPECT_FAILS(EINTR, zelkMsgSend(connection, "third", 6, nullptr, 0));
        interrupted.open();
    });
    receiveId = zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ASSERT_GT(receiveId, 0);
    EXPECT_STREQ("third", buffer);
    kill(pid, SIGALRM);
    interrupted.wait();
    EXPECT_FAILS(ESRCH, zelkMsgReply(receiveId, 0, nullptr, 0));
    EXPECT_EQ(0, waitChild(pid));
}

TEST_F(MessageTest, KilledClientIsWithdrawn)
{
    Gate sending;
    char buffer[16] = {};
    // Killed while its message is queued: the next receive gets the next
    // client's message.
    pid_t pid = client([&](int connection) {
        sending.open();
        zelkMsgSend(connection, "lost", 5, nullptr, 0);
    });
    sending.wait();
    EXPECT_TRUE(zelk::test::awaitStatus([](const std::string &status) {
        return status.find("\"queuedMessages\":1") != std::string::npos;
    }));
    kill(pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, waitChild(pid));
    pid = client([](int connection) {
        EXPECT_EQ(5, zelkMsgSend(connection, "kept", 5, nullptr, 0));
    });
    int receiveId = zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ASSERT_GT(receiveId, 0);
    EXPECT_STREQ("kept", buffer);
    EXPECT_EQ(0, zelkMsgReply(receiveId, 5, nullptr, 0));
    EXPECT_EQ(0, waitChild(pid));

    // Killed while waiting for the reply.
    pid = client(
        [](int connection) { zelkMsgSend(connection, "gone", 5, nullptr, 0); });
    receiveId = zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ASSERT_GT(receiveId, 0);
    kill(pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, waitChild(pid));
    EXPECT_FAILS(ESRCH, zelkMsgReply(receiveId, 0, nullptr, 0));
}

TEST_F(MessageTest, BadAddressesFailWithEfaultAndNobodyHangs)
{
    const pid_t pid = client([](int connection) {
        char reply[8];
        EXPECT_FAILS(EFAULT, zelkMsgSend(connection, kBadAddress, 8, reply, 8));
        EXPECT_EQ(1, zelkMsgSend(connection, "once", 5, reply, 8));
        EXPECT_FAILS(EFAULT, zelkMsgSend(connection, "twice", 6, reply, 8));
        EXPECT_FAILS(EFAULT,
                     zelkMsgSend(connection, "thrice", 7, kBadAddress, 8));
    });
    char buffer[16] = {};
    // An unwritable receive buffer fails the receive; the message stays.
    EXPECT_FAILS(EFAULT, zelkMsgReceive(channel, kBadAddress, 16, nullptr));
    int receiveId = zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ASSERT_GT(receiveId, 0);
    EXPECT_STREQ("once", buffer);
    EXPECT_EQ(0, zelkMsgReply(receiveId, 1, "ok", 3));

    // An unreadable reply fails both the reply and the send.
    receiveId = zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ASSERT_GT(receiveId, 0);
    EXPECT_FAILS(EFAULT, zelkMsgReply(receiveId, 0, kBadAddress, 8));
    EXPECT_FAILS(ESRCH, zelkMsgReply(receiveId, 0, "ok", 3));

    // An unwritable reply buffer fails the send only.
    receiveId = zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ASSERT_GT(receiveId, 0);
    EXPECT_STREQ("thrice", buffer);
    EXPECT_EQ(0, zelkMsgReply(receiveId, 0, "ok", 3));
    EXPECT_EQ(0, waitChild(pid));
}

TEST_F(MessageTest, OversizedMessagesFailWithEmsgsize)
{
    const pid_t pid = client([](int connection) {
        char small[8] = {};
        EXPECT_FAILS(EMSGSIZE, zelkMsgSend(connection, small, kMaxMessage + 1,
                                           small, sizeof small));
        // Room for more than any reply is fine: the reply is bounded.
        std::vector<unsigned char> big(kMaxMessage, 0x5A);
        std::vector<unsigned char> reply(kMaxMessage + 1);
        EXPECT_EQ(0, zelkMsgSend(connection, big.data(), big.size(),
                                 reply.data(), reply.size()));
        reply.pop_back();
        EXPECT_EQ(big, reply);
    });
    std::vector<unsigned char> buffer(kMaxMessage + 1);
    uint32_t info = 0;
    const int receiveId =
        zelkMsgReceive(channel, buffer.data(), buffer.size(), &info);
    ASSERT_GT(receiveId, 0);
    EXPECT_EQ(kMaxMessage, info);
    EXPECT_FAILS(EMSGSIZE,
                 zelkMsgReply(receiveId, 0, buffer.data(), kMaxMessage + 1));
    EXPECT_EQ(0, zelkMsgReply(receiveId, 0, buffer.data(), kMaxMessage));
    EXPECT_EQ(0, waitChild(pid));
}

// Clients with two sending threads each, a server with two receiving
// threads: every message arrives exactly once and every reply goes to its
// own sender.
TEST_F(MessageTest, ManyClientsLoseNothing)
{
    constexpr int kClients = 6;
    constexpr int kThreads = 2;
    constexpr int kPerThread = 150;
    struct Payload {
        int client;
        int thread;
        int seq;
    };
    std::vector<pid_t> pids;
    for (int c = 0; c < kClients; ++c) {
        pids.push_back(client([c](int connection) {
            auto work = [&](int t) {
                for (int s = 0; s < kPerThread; ++s) {
                    const Payload sent{c, t, s};
                    Payload echoed{};
                    const int status = zelkMsgSend(
                        connection, &sent, sizeof sent, &echoed, sizeof echoed);
                    ASSERT_EQ(s, status) << strerror(errno);
                    ASSERT_EQ(0, memcmp(&sent, &echoed, sizeof sent));
                }
            };
            std::thread other(work, 1);
            work(0);
            other.join();
        }));
    }
    std::mutex seenLock;
    std::vector<int> seen(kClients * kThreads * kPerThread, 0);
    std::vector<int> lastSeq(kClients * kThreads, -1);
    std::atomic<int> remaining{kClients * kThreads * kPerThread};
    auto serve = [&] {
        while (remaining.fetch_sub(1) > 0) {
            Payload got{};
            const int receiveId =
                zelkMsgReceive(channel, &got, sizeof got, nullptr);
            ASSERT_GT(receiveId, 0) << strerror(errno);
            {
                std::lock_guard<std::mutex> hold(seenLock);
                const int sender = got.client * kThreads + got.thread;
                ++seen[sender * kPerThread + got.seq];
                EXPECT_LT(lastSeq[sender], got.seq) << "out of order";
                lastSeq[sender] = got.seq;
            }
            ASSERT_EQ(0, zelkMsgReply(receiveId, got.seq, &got, sizeof got));
        }
    };
    std::thread second(serve);
    serve();
    second.join();
    for (pid_t pid : pids)
        EXPECT_EQ(0, waitChild(pid));
    EXPECT_EQ(std::vector<int>(seen.size(), 1), seen);
}

// A 32-bit process on this 64-bit kernel sends compat ioctls; zelkd serves
// them like any other.
TEST_F(MessageTest, ThirtyTwoBitClientIsServedAlike)
{
    if (zelk::test::compatClientPath() == nullptr)
        GTEST_SKIP() << "no 32-bit client in this build (it needs an "
                        "unsanitized x86_64 build with -m32 support)";
    zelk::test::CompatClient client("service");
    char buffer[32] = {};
    uint32_t info = 0;
    const int receiveId = zelkMsgReceive(channel, buffer, sizeof buffer, &info);
    ASSERT_GT(receiveId, 0) << strerror(errno);
    EXPECT_STREQ("from 32 bits", buffer);
    EXPECT_EQ(13u, info);
    EXPECT_EQ(0, zelkMsgReply(receiveId, 32, "hello 64", 9));
    EXPECT_EQ("send 32 hello 64\nprobe 0\nbad probe -1 Bad address\n"
              "detach 0\nexit 0",
              client.finish());
}

// A channel id above 65535 does not fit a receive id: the receive is
// refused before it takes a message that could then not be answered.
TEST_F(MessageTest, ChannelIdsAbove65535AreRefusedBeforeReceiving)
{
    rlimit limit{70000, 70000};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        GTEST_SKIP() << "cannot raise the descriptor limit: "
                     << strerror(errno);
    const int high = 0x10000 + channel;
    ASSERT_EQ(high, dup2(channel, high)) << strerror(errno);
    const pid_t pid = client([](int connection) {
        EXPECT_EQ(0, zelkMsgSend(connection, "kept", 5, nullptr, 0));
    });
    char buffer[8] = {};
    EXPECT_FAILS(EBADF, zelkMsgReceive(high, buffer, sizeof buffer, nullptr));
    const int receiveId =
        zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ASSERT_GT(receiveId, 0);
    EXPECT_STREQ("kept", buffer);
    EXPECT_EQ(0, zelkMsgReply(receiveId, 0, nullptr, 0));
    EXPECT_EQ(0, waitChild(pid));
    close(high);
}

} // namespace
