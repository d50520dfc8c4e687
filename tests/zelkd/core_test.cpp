// zelkd's core without FUSE: a sink that checks every request is answered
// exactly once, and a fake memory per process. Covers what a real daemon
// cannot cheaply provoke: id exhaustion and wrap-around, the queued-data
// bound, interrupts racing with answers, endings and shutdown, and which
// thread runs at which priority.
#include "core.h"

#include <cstring>
#include <map>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "driver/protocol.h"
#include "serving_priority.h"

namespace {

using namespace zelk::protocol;
using zelkd::Caller;
using zelkd::Core;
using zelkd::Priority;
using zelkd::Schedule;
using zelkd::Token;

// Each process owns 64 KiB at kBase; everything else is unmapped.
constexpr uint64_t kBase = 0x10000;
constexpr size_t kSpace = 0x10000;

class FakeMemory final : public zelkd::MemoryAccess {
public:
    std::vector<unsigned char> &of(pid_t pid)
    {
        auto &space = spaces_[pid];
        space.resize(kSpace);
        return space;
    }
    int read(pid_t pid, uint64_t address, void *to, size_t size) override
    {
        if (size == 0)
            return 0;
        if (!inside(address, size))
            return EFAULT;
        memcpy(to, of(pid).data() + (address - kBase), size);
        return 0;
    }
    int write(pid_t pid, uint64_t address, const void *from,
              size_t size) override
    {
        if (size == 0)
            return 0;
        if (!inside(address, size))
            return EFAULT;
        memcpy(of(pid).data() + (address - kBase), from, size);
        return 0;
    }
    int probe(pid_t, uint64_t address, size_t size, bool, bool) override
    {
        return inside(address, size) ? 0 : EFAULT;
    }

private:
    static bool inside(uint64_t address, size_t size)
    {
        return address >= kBase && size <= kSpace &&
               address - kBase <= kSpace - size;
    }
    std::map<pid_t, std::vector<unsigned char>> spaces_;
};

// Threads and their scheduling; a thread missing from the table has ended.
class FakeScheduling final : public zelkd::Scheduling {
public:
    int get(pid_t tid, Schedule &out) override
    {
        auto it = threads.find(tid);
        if (it == threads.end())
            return ESRCH;
        out = it->second;
        return 0;
    }
    int set(pid_t tid, const Schedule &to) override
    {
        ++sets;
        auto it = threads.find(tid);
        if (it == threads.end())
            return ESRCH;
        it->second = to;
        return 0;
    }
    void follow(pid_t tid) override { followed.insert(tid); }
    void forget(pid_t tid) override { followed.erase(tid); }

    std::map<pid_t, Schedule> threads;
    std::set<pid_t> followed;
    int sets = 0;
};

// Records answers; fails the test on a second answer to one request.
class CheckingSink final : public zelkd::ReplySink {
public:
    struct Answer {
        int err = -1; // 0 for replyIoctl
        std::vector<unsigned char> out;
    };
    void replyIoctl(Token token, const void *out, size_t size) override
    {
        const auto *bytes = static_cast<const unsigned char *>(out);
        answer(token, Answer{0, {bytes, bytes + size}});
    }
    void replyError(Token token, int err) override
    {
        answer(token, Answer{err, {}});
    }
    void keep(Token token) override { kept.insert(token); }

    bool answered(Token token) const { return answers.count(token) != 0; }
    int err(Token token) const
    {
        auto it = answers.find(token);
        return it == answers.end() ? -1 : it->second.err;
    }
    template <typename Record> Record record(Token token) const
    {
        Record rec{};
        const auto &out = answers.at(token).out;
        EXPECT_EQ(sizeof rec, out.size());
        memcpy(&rec, out.data(), std::min(out.size(), sizeof rec));
        return rec;
    }

    std::map<Token, Answer> answers;
    std::set<Token> kept;

private:
    void answer(Token token, Answer a)
    {
        EXPECT_EQ(0u, answers.count(token)) << "answered twice: " << token;
        answers[token] = std::move(a);
    }
};

class CoreTest : public ::testing::Test {
protected:
    CoreTest() : core(sink, memory, limits(), &scheduling) {}
    static zelkd::Limits limits()
    {
        zelkd::Limits l;
        l.maxMessage = 4096;
        l.maxQueued = 8192;
        l.maxUserQueued = 8192;
        l.maxUserMessages = 0x8000;
        return l;
    }

    Token next() { return ++lastToken; }

    // Opens a descriptor holding a channel (server) or connection.
    uint64_t named(uint32_t code, const char *name)
    {
        const uint64_t handle = core.open();
        zelkIoChannelCreate rec{};
        rec.size = code == ZELK_IOC_CHANNEL_CREATE ? 264 : 260;
        strcpy(rec.name, name);
        const Token t = next();
        core.ioctl(t, handle, Caller{1, 0, 0}, code, &rec, rec.size, 0);
        EXPECT_EQ(0, sink.err(t)) << name;
        return handle;
    }

    Token send(uint64_t conn, pid_t pid, uint32_t size, uint64_t data = kBase,
               uint32_t replySize = 0, uint64_t replyAt = kBase,
               Priority priority = {})
    {
        zelkIoMsgSend rec{};
        rec.size = sizeof rec;
        rec.status = 1;
        rec.dataSize = size;
        rec.data = data;
        rec.replySize = replySize;
        rec.reply = replyAt;
        const Token t = next();
        Caller caller{pid, 0, 0};
        caller.priority = priority;
        core.ioctl(t, conn, caller, ZELK_IOC_MSG_SEND, &rec, sizeof rec,
                   sizeof rec);
        return t;
    }

    Token receive(uint64_t chan, uint64_t buffer = kBase, uint32_t size = 4096,
                  pid_t tid = 1)
    {
        zelkIoMsgReceive rec{};
        rec.size = sizeof rec;
        rec.bufferSize = size;
        rec.buffer = buffer;
        const Token t = next();
        core.ioctl(t, chan, Caller{tid, 0, 0}, ZELK_IOC_MSG_RECEIVE, &rec,
                   sizeof rec, sizeof rec);
        return t;
    }

    Token reply(uint64_t chan, uint32_t id, int32_t status = 0,
                uint32_t size = 0, uint64_t data = kBase)
    {
        zelkIoMsgReply rec{};
        rec.size = sizeof rec;
        rec.status = status;
        rec.messageId = id;
        rec.dataSize = size;
        rec.data = data;
        const Token t = next();
        core.ioctl(t, chan, Caller{1, 0, 0}, ZELK_IOC_MSG_REPLY, &rec,
                   sizeof rec, sizeof rec);
        return t;
    }

    // The message id that a completed receive handed out.
    uint32_t idOf(Token received)
    {
        return sink.record<zelkIoMsgReceive>(received).messageId;
    }

    // A real-time send of size 0 from pid at level under policy.
    Token rtSend(uint64_t conn, pid_t pid, uint32_t level,
                 uint32_t policy = SCHED_FIFO)
    {
        return send(conn, pid, 0, kBase, 0, kBase, Priority{policy, level});
    }

    FakeMemory memory;
    CheckingSink sink;
    FakeScheduling scheduling;
    Core core;
    Token lastToken = 0;
};

TEST_F(CoreTest, MessageIdsStayUniqueWrapAndRunOut)
{
    const uint64_t chan = named(ZELK_IOC_CHANNEL_CREATE, "ids");
    const uint64_t conn = named(ZELK_IOC_CONNECT_ATTACH, "ids");
    // Keep id 2 unanswered while 0x7FFF more messages come and go: the
    // counter wraps past 0x7FFF to 1 and skips 2.
    send(conn, 10, 0);
    const uint32_t first = idOf(receive(chan));
    EXPECT_EQ(1u, first);
    EXPECT_EQ(0, sink.err(reply(chan, first)));
    send(conn, 10, 0);
    const uint32_t held = idOf(receive(chan));
    EXPECT_EQ(2u, held);
    std::set<uint32_t> seen;
    for (int i = 0; i < 0x7FFF; ++i) {
        send(conn, 10, 0);
        const uint32_t id = idOf(receive(chan));
        EXPECT_TRUE(id >= 1 && id <= 0x7FFF && id != held) << id;
        seen.insert(id);
        ASSERT_EQ(0, sink.err(reply(chan, id)));
    }
    EXPECT_EQ(0x7FFEu, seen.size()) << "every id but the held one";

    // 0x7FFF unanswered messages use every id; one more is refused.
    for (int i = 1; i < 0x7FFF; ++i)
        send(conn, 10, 0);
    EXPECT_EQ(ENOBUFS, sink.err(send(conn, 10, 0)));
    // Ids match on their low 16 bits, as the library sign-extends them.
    EXPECT_EQ(0, sink.err(reply(chan, 0xFFFF0000u | held)));
    EXPECT_EQ(ESRCH, sink.err(reply(chan, held)));
    EXPECT_EQ(ESRCH, sink.err(reply(chan, 0))) << "queued, not received";
}

TEST_F(CoreTest, QueuedDataIsBoundedButAWaitingReceiverTakesMore)
{
    const uint64_t chan = named(ZELK_IOC_CHANNEL_CREATE, "bound");
    const uint64_t conn = named(ZELK_IOC_CONNECT_ATTACH, "bound");
    const Token a = send(conn, 10, 4096);
    const Token b = send(conn, 11, 4096);
    EXPECT_EQ(8192u, core.queuedBytes());
    EXPECT_EQ(ENOBUFS, sink.err(send(conn, 12, 1)));
    EXPECT_EQ(EMSGSIZE, sink.err(send(conn, 12, 4097)));
    EXPECT_EQ(0, sink.err(receive(chan)));
    EXPECT_EQ(4096u, core.queuedBytes());
    EXPECT_EQ(0, sink.err(receive(chan)));
    EXPECT_EQ(0u, core.queuedBytes());
    EXPECT_FALSE(sink.answered(a) || sink.answered(b));
    // Room for a reply larger than any reply is no reason to refuse.
    EXPECT_FALSE(sink.answered(send(conn, 12, 1, kBase, 4097)));
    EXPECT_EQ(EFAULT, sink.err(send(conn, 12, 16, kBase + kSpace - 8)));
}

// The data of a message and of its reply pass through the core's own buffer
// at a page offset chosen from both callers' addresses: every pairing of
// offsets, with messages up to the largest size, arrives whole.
TEST_F(CoreTest, DataArrivesWholeFromAndToAnyPageOffset)
{
    const uint64_t chan = named(ZELK_IOC_CHANNEL_CREATE, "offsets");
    const uint64_t conn = named(ZELK_IOC_CONNECT_ATTACH, "offsets");
    const uint64_t offsets[] = {0, 1, 16, 31, 32, 4095};
    auto fill = [](std::vector<unsigned char> &space, uint64_t at, size_t size,
                   unsigned char seed) {
        for (size_t i = 0; i < size; ++i)
            space[at + i] = static_cast<unsigned char>(seed + i * 7);
    };
    unsigned char seed = 0;
    for (uint64_t from : offsets) {
        for (uint64_t to : offsets) {
            for (uint32_t size : {4096u, 4001u}) {
                SCOPED_TRACE(testing::Message() << from << " -> " << to << ", "
                                                << size << " bytes");
                const uint64_t there = 0x8000 + to;
                const Token r = receive(chan, kBase + there, size);
                fill(memory.of(2), from, size, ++seed);
                const Token s = send(conn, 2, size, kBase + from, size,
                                     kBase + 0x8000 + to);
                ASSERT_EQ(0, sink.err(r));
                EXPECT_EQ(0, memcmp(memory.of(2).data() + from,
                                    memory.of(1).data() + there, size));
                fill(memory.of(1), from, size, ++seed);
                EXPECT_EQ(
                    0, sink.err(reply(chan, idOf(r), 0, size, kBase + from)));
                ASSERT_EQ(0, sink.err(s));
                EXPECT_EQ(0, memcmp(memory.of(1).data() + from,
                                    memory.of(2).data() + there, size));
            }
        }
    }
}

TEST_F(CoreTest, BadReceiveBufferPassesTheMessageOn)
{
    const uint64_t chan = named(ZELK_IOC_CHANNEL_CREATE, "bad");
    const uint64_t conn = named(ZELK_IOC_CONNECT_ATTACH, "bad");
    const Token faulty = receive(chan, 8); // unmapped buffer, waiting
    const Token good = receive(chan);
    memcpy(memory.of(20).data(), "payload", 8);
    const Token sent = send(conn, 20, 8);
    EXPECT_EQ(EFAULT, sink.err(faulty));
    ASSERT_EQ(0, sink.err(good));
    EXPECT_EQ(8u, sink.record<zelkIoMsgReceive>(good).info);
    EXPECT_STREQ("payload", reinterpret_cast<char *>(memory.of(1).data()));
    EXPECT_FALSE(sink.answered(sent));
    EXPECT_EQ(0u, core.waitingRequests() - 1) << "only the sender waits";
}

TEST_F(CoreTest, InterruptsWithdrawAndNeverAnswerTwice)
{
    const uint64_t chan = named(ZELK_IOC_CHANNEL_CREATE, "intr");
    const uint64_t conn = named(ZELK_IOC_CONNECT_ATTACH, "intr");
    const Token waitingReceive = receive(chan);
    core.interrupt(waitingReceive);
    EXPECT_EQ(EINTR, sink.err(waitingReceive));
    core.interrupt(waitingReceive); // late: ignored

    const Token queued = send(conn, 10, 4);
    core.interrupt(queued);
    EXPECT_EQ(EINTR, sink.err(queued));
    EXPECT_EQ(0u, core.queuedBytes());

    const Token replied = send(conn, 11, 4);
    const Token got = receive(chan);
    ASSERT_EQ(0, sink.err(got));
    EXPECT_EQ(0, sink.err(reply(chan, idOf(got), 9)));
    EXPECT_EQ(9, sink.record<zelkIoMsgSend>(replied).status);
    core.interrupt(replied); // answered already: ignored

    const Token abandoned = send(conn, 12, 4);
    const Token got2 = receive(chan);
    core.interrupt(abandoned);
    EXPECT_EQ(EINTR, sink.err(abandoned));
    EXPECT_EQ(ESRCH, sink.err(reply(chan, idOf(got2))));
    EXPECT_EQ(0u, core.waitingRequests());
}

TEST_F(CoreTest, EndingsFailWaitersOnce)
{
    const uint64_t chan = named(ZELK_IOC_CHANNEL_CREATE, "end");
    const uint64_t conn = named(ZELK_IOC_CONNECT_ATTACH, "end");
    const uint64_t other = named(ZELK_IOC_CONNECT_ATTACH, "end");
    const Token received = send(conn, 10, 4);
    ASSERT_EQ(0, sink.err(receive(chan)));
    const Token queued = send(conn, 11, 4);
    const Token detached = send(other, 12, 4);

    // A detach (from another thread of the sender) withdraws its sends.
    const Token detach = next();
    core.ioctl(detach, other, Caller{12, 0, 0}, ZELK_IOC_CONNECT_DETACH,
               nullptr, 0, 0);
    EXPECT_EQ(0, sink.err(detach));
    EXPECT_EQ(EBADF, sink.err(detached));
    EXPECT_EQ(EBADF, sink.err(send(other, 12, 4)));

    // The channel's end fails its senders with EPIPE.
    core.release(chan);
    EXPECT_EQ(EPIPE, sink.err(received));
    EXPECT_EQ(EPIPE, sink.err(queued));
    EXPECT_EQ(EPIPE, sink.err(send(conn, 10, 4)));
    EXPECT_EQ(0u, core.liveChannels());
    EXPECT_EQ(0u, core.waitingRequests());
    EXPECT_EQ(0u, core.queuedBytes());
    core.release(conn);
    core.release(other);
}

TEST_F(CoreTest, ShutdownAnswersEveryWaiterOnce)
{
    const uint64_t chan = named(ZELK_IOC_CHANNEL_CREATE, "stop");
    const uint64_t idle = named(ZELK_IOC_CHANNEL_CREATE, "idle");
    const uint64_t conn = named(ZELK_IOC_CONNECT_ATTACH, "stop");
    const Token a = send(conn, 10, 4);
    ASSERT_EQ(0, sink.err(receive(chan)));
    const Token b = send(conn, 11, 4);
    const Token c = receive(idle);
    core.shutdown(ENOTCONN);
    for (Token t : {a, b, c})
        EXPECT_EQ(ENOTCONN, sink.err(t));
    EXPECT_EQ(0u, core.waitingRequests());
    core.interrupt(a); // after the end: nothing happens
    core.release(chan);
    core.release(conn);
}

// A caller outside zelkd's pid namespace arrives with pid 0; zelkd cannot
// tell which process it is, so nothing is served to it.
TEST_F(CoreTest, CallerWithoutAPidIsRefused)
{
    const uint64_t handle = core.open();
    zelkIoChannelCreate rec{};
    rec.size = sizeof rec;
    strcpy(rec.name, "from-outside");
    const Token t = next();
    core.ioctl(t, handle, Caller{0, 1000, 1000}, ZELK_IOC_CHANNEL_CREATE, &rec,
               rec.size, 0);
    EXPECT_EQ(EACCES, sink.err(t));
    EXPECT_EQ(0u, core.liveChannels());
}

TEST_F(CoreTest, QueueServesHigherPrioritiesFirstThenArrivalOrder)
{
    const uint64_t chan = named(ZELK_IOC_CHANNEL_CREATE, "order");
    const uint64_t conn = named(ZELK_IOC_CONNECT_ATTACH, "order");
    // Ids follow arrival: 1 to 6.
    send(conn, 10, 0);
    rtSend(conn, 11, 50);
    rtSend(conn, 12, 10, SCHED_RR);
    rtSend(conn, 13, 50, SCHED_RR);
    send(conn, 14, 0);
    rtSend(conn, 15, 90);
    std::vector<uint32_t> order;
    for (int i = 0; i < 6; ++i)
        order.push_back(idOf(receive(chan)));
    EXPECT_EQ((std::vector<uint32_t>{6, 2, 4, 3, 1, 5}), order);
}

TEST_F(CoreTest, ServerRunsAtItsHighestSenderAndGetsItsOwnBackExactly)
{
    constexpr pid_t kServer = 100;
    Schedule own;
    own.nice = 5;
    own.runtime = 2800000;
    scheduling.threads[kServer] = own;
    const uint64_t chan = named(ZELK_IOC_CHANNEL_CREATE, "boost");
    const uint64_t conn = named(ZELK_IOC_CONNECT_ATTACH, "boost");
    auto held = [&] {
        return zelkd::carriedPriority(scheduling.threads[kServer]);
    };

    // A sender without a real-time priority changes nothing.
    send(conn, 10, 0);
    const uint32_t plain = idOf(receive(chan, kBase, 4096, kServer));
    EXPECT_EQ(0, scheduling.sets);

    // Several held messages: the highest sender counts, and the reply to
    // it goes back to the next one, the last reply to the thread's own.
    const Token low = rtSend(conn, 11, 30);
    const uint32_t lowId = idOf(receive(chan, kBase, 4096, kServer));
    EXPECT_EQ((Priority{SCHED_FIFO, 30}), held());
    EXPECT_EQ(5, scheduling.threads[kServer].nice);
    rtSend(conn, 12, 70, SCHED_RR);
    const uint32_t highId = idOf(receive(chan, kBase, 4096, kServer));
    EXPECT_EQ((Priority{SCHED_RR, 70}), held());
    EXPECT_EQ(0, sink.err(reply(chan, highId)));
    EXPECT_EQ((Priority{SCHED_FIFO, 30}), held());
    EXPECT_EQ(0, sink.err(reply(chan, plain)));
    EXPECT_EQ((Priority{SCHED_FIFO, 30}), held());
    // An interrupted sender ends its message too.
    core.interrupt(low);
    EXPECT_EQ(own, scheduling.threads[kServer]);
    EXPECT_EQ(ESRCH, sink.err(reply(chan, lowId)));
    EXPECT_TRUE(scheduling.followed.empty());

    // The sender's connection ends; then the channel ends; then zelkd
    // stops: each puts the thread back.
    rtSend(conn, 13, 40);
    receive(chan, kBase, 4096, kServer);
    const uint64_t other = named(ZELK_IOC_CONNECT_ATTACH, "boost");
    rtSend(other, 14, 60);
    receive(chan, kBase, 4096, kServer);
    EXPECT_EQ(60u, held().level);
    core.release(other);
    EXPECT_EQ(40u, held().level);
    core.release(chan);
    EXPECT_EQ(own, scheduling.threads[kServer]);

    const uint64_t chan2 = named(ZELK_IOC_CHANNEL_CREATE, "boost2");
    const uint64_t conn2 = named(ZELK_IOC_CONNECT_ATTACH, "boost2");
    rtSend(conn2, 15, 20);
    receive(chan2, kBase, 4096, kServer);
    core.shutdown(ENOTCONN);
    EXPECT_EQ(own, scheduling.threads[kServer]);
    EXPECT_TRUE(scheduling.followed.empty());
    core.release(conn);
}

TEST_F(CoreTest, HigherOrEndedServersAreLeftAlone)
{
    const uint64_t chan = named(ZELK_IOC_CHANNEL_CREATE, "alone");
    const uint64_t conn = named(ZELK_IOC_CONNECT_ATTACH, "alone");
    Schedule high;
    high.policy = SCHED_FIFO;
    high.priority = 80;
    scheduling.threads[200] = high;
    rtSend(conn, 10, 50);
    EXPECT_EQ(0, sink.err(reply(chan, idOf(receive(chan, kBase, 4096, 200)))));
    EXPECT_EQ(0, scheduling.sets);

    // A thread that ended while raised: its message still ends cleanly,
    // and a later thread of the same id starts from its own scheduling.
    scheduling.threads[201] = Schedule{};
    rtSend(conn, 11, 50);
    const uint32_t id = idOf(receive(chan, kBase, 4096, 201));
    EXPECT_EQ(50u, zelkd::carriedPriority(scheduling.threads[201]).level);
    scheduling.threads.erase(201);
    EXPECT_EQ(0, sink.err(reply(chan, id)));
    EXPECT_TRUE(scheduling.followed.empty());
    scheduling.threads[201] = high;
    rtSend(conn, 12, 90);
    receive(chan, kBase, 4096, 201);
    EXPECT_EQ(90u, zelkd::carriedPriority(scheduling.threads[201]).level);
    core.release(chan);
    EXPECT_EQ(high, scheduling.threads[201]);
}

// zelkd's serving thread waits at the highest priority. A caller without a
// real-time priority costs no switch until a large copy or a probe, which
// run at the thread's own scheduling; the waiting priority comes back
// after each. (Real-time callers are served at their own priority: the
// inversion test shows that end to end.)
TEST(ServingPriorityTest, LowersOnlyForWorkTheCallerSizes)
{
    FakeScheduling scheduling;
    Schedule own;
    own.nice = 5;
    scheduling.threads[0] = own; // the calling thread
    zelkd::ServingPriority serving(scheduling);
    ASSERT_EQ("", serving.start());
    const Schedule waiting = scheduling.threads[0];
    EXPECT_EQ(SCHED_FIFO, static_cast<int>(waiting.policy));
    FakeMemory fake;
    zelkd::ServingMemory memory(fake, &serving);
    std::vector<unsigned char> buffer(kSpace);
    const int setsAtStart = scheduling.sets;

    serving.enter(Priority{});
    memory.read(1, kBase, buffer.data(), 64);
    memory.write(1, kBase, buffer.data(), 64);
    EXPECT_EQ(setsAtStart, scheduling.sets);
    EXPECT_EQ(waiting, scheduling.threads[0]);
    memory.read(1, kBase, buffer.data(), kSpace);
    EXPECT_EQ(own, scheduling.threads[0]);
    serving.leave();
    EXPECT_EQ(waiting, scheduling.threads[0]);

    serving.enter(Priority{});
    memory.probe(1, kBase, 1, true, false);
    EXPECT_EQ(own, scheduling.threads[0]);
    serving.leave();

    serving.stop();
    EXPECT_EQ(own, scheduling.threads[0]);
}

} // namespace
