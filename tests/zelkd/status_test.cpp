// The zelk command against a real zelkd in a known situation: a server busy
// with one message while two more clients queue, a thread waiting in
// receive on another channel, named threads and a stale marker. Root sees
// all of it; an unprivileged user its own channel and counts of the rest.
// Also: the built library and daemon carry their tracepoints, and one fires.
#include "zelk.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "json.h"
#include "support/child.h"
#include "support/gate.h"
#include "support/zelkd_fixture.h"

namespace {

using zelk::test::Gate;
using zelktool::Value;

constexpr uint32_t kSize = 100;
// Caller text reaches the document escaped, and comes back whole.
constexpr char kMine[] = "mine \"\n\\ \xff";

// Runs a shell command; its standard output and exit status.
std::string run(const std::string &command, int *status = nullptr)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        out.append(chunk, n);
    const int rc = pclose(pipe);
    if (status != nullptr)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

Value parsed(const std::string &text)
{
    Value value;
    EXPECT_EQ(zelktool::parseJson(text, value), "") << text;
    return value;
}

Value zelkJson(const char *args)
{
    return parsed(run(std::string(ZELK_TOOL_PATH) + " " + args));
}

const Value *channelNamed(const Value &status, const std::string &name)
{
    for (const Value &channel : status["channels"].items)
        if (channel["name"].str() == name)
            return &channel;
    return nullptr;
}

// The situation's threads, each started by zelkThreadCreate under a name.
struct Scene {
    std::atomic<int> tids[5] = {}; // server, client1..3, idle
    std::atomic<int> done{0};
    std::atomic<int> firstId{0};
    Gate release;
};
Scene *scene;

void start(const char *name, void *(*entry)(void *), intptr_t arg)
{
    zelkThreadAttr attr{-1, 0, ZELK_THREAD_NAME_VALID, name};
    pthread_t thread;
    ASSERT_EQ(
        zelkThreadCreate(&thread, &attr, entry, reinterpret_cast<void *>(arg)),
        0);
}

void *server(void *)
{
    scene->tids[0] = gettid();
    const int channel = zelkChannelCreate("busy");
    char buffer[kSize];
    const int id = zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    scene->firstId = id >> 16;
    scene->release.wait();
    ++scene->done;
    return nullptr;
}

void *client(void *arg)
{
    scene->tids[reinterpret_cast<intptr_t>(arg)] = gettid();
    const int connection = zelkConnectAttach("busy");
    char data[kSize] = {};
    zelkMsgSend(connection, data, sizeof data, nullptr, 0);
    ++scene->done;
    return nullptr;
}

void *idle(void *)
{
    scene->tids[4] = gettid();
    const int channel = zelkChannelCreate("quiet");
    char buffer[8];
    zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
    ++scene->done;
    return nullptr;
}

// Polls zelk status until check holds (at most 10 s).
bool await(bool (*check)(const Value &))
{
    for (int i = 0; i < 1000; ++i) {
        if (check(zelkJson("status --json")))
            return true;
        usleep(10000);
    }
    return false;
}

size_t blockedSends(const Value &s)
{
    return s["blockedSends"].items.size();
}

class ZelkStatusTest : public zelk::test::ZelkdTest {};

TEST_F(ZelkStatusTest, ShowsWhoIsBlockedOnWhomAndHidesOtherUsersRequests)
{
    // Static: should an assertion end the test early, the threads that
    // still run must not reach a scene that has gone.
    static Scene state;
    scene = &state;
    // An unprivileged user's own channel, and its view once all is set up.
    Gate userGo;
    int fromUser[2];
    ASSERT_EQ(pipe(fromUser), 0);
    const pid_t user = zelk::test::forkChild([&] {
        ASSERT_EQ(zelk::test::dropToUnprivilegedUser(), "");
        ASSERT_GE(zelkChannelCreate(kMine), 0);
        userGo.wait();
        const std::string view =
            run(std::string(ZELK_TOOL_PATH) + " status --json");
        ASSERT_EQ(write(fromUser[1], view.data(), view.size()),
                  static_cast<ssize_t>(view.size()));
    });
    close(fromUser[1]);
    // Waits are bounded: a thread or child that fails must not hang the test.
    ASSERT_TRUE(await([](const Value &s) {
        return channelNamed(s, kMine) != nullptr;
    })) << "the unprivileged user's channel did not appear";

    start("server", server, 0);
    // A client that attached before the channel existed would send nothing.
    ASSERT_TRUE(await([](const Value &s) {
        return channelNamed(s, "busy") != nullptr;
    }));
    start("client1", client, 1);
    ASSERT_TRUE(await([](const Value &s) {
        const Value *busy = channelNamed(s, "busy");
        return busy != nullptr && (*busy)["received"].items.size() == 1 &&
               scene->firstId != 0;
    }));
    start("client2", client, 2);
    ASSERT_TRUE(await([](const Value &s) { return blockedSends(s) == 2; }));
    start("client3", client, 3);
    start("idle", idle, 0);
    ASSERT_TRUE(await([](const Value &s) {
        const Value *quiet = channelNamed(s, "quiet");
        return blockedSends(s) == 3 && quiet != nullptr &&
               (*quiet)["receivers"].items.size() == 1;
    }));
    // Above any thread id the kernel hands out, so it is listed last.
    const std::string ghost =
        "/var/run/zelk/pid" + std::to_string(getpid()) + "-tid4194304-ghost";
    close(open(ghost.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));

    EXPECT_EQ(zelkConnectAttach("nobody"), -1); // counted as ENOENT
    const int pid = getpid();
    const int serverTid = state.tids[0], idleTid = state.tids[4];
    const Value s = zelkJson("status --json");
    EXPECT_TRUE(s["viewer"]["seesAll"].boolean);
    ASSERT_EQ(s["channels"].items.size(), 3u);
    ASSERT_NE(channelNamed(s, "busy"), nullptr);
    const Value &busy = *channelNamed(s, "busy");
    EXPECT_EQ(busy["creatorUid"].num(), 0);
    EXPECT_EQ(busy["creatorPid"].num(), serverTid);
    EXPECT_EQ(busy["queuedMessages"].num(), 2);
    EXPECT_EQ(busy["queuedBytes"].num(), 2 * kSize);
    EXPECT_TRUE(busy["receivers"].items.empty());
    ASSERT_EQ(busy["received"].items.size(), 1u);
    EXPECT_EQ(busy["received"].items[0]["messageId"].num(), state.firstId);
    EXPECT_EQ(busy["received"].items[0]["serverTid"].num(), serverTid);
    EXPECT_EQ(busy["received"].items[0]["senderTid"].num(), state.tids[1]);
    const Value &quiet = *channelNamed(s, "quiet");
    EXPECT_EQ(quiet["receivers"].items[0]["tid"].num(), idleTid);
    EXPECT_EQ(quiet["receivers"].items[0]["pid"].num(), pid);
    const Value *mineAsRoot = channelNamed(s, kMine);
    ASSERT_NE(mineAsRoot, nullptr);
    EXPECT_EQ((*mineAsRoot)["creatorUid"].num(), 65534);
    // Longest-blocked first: client1 (held by the server), then 2 and 3.
    const char *states[] = {"received", "queued", "queued"};
    for (int i = 0; i < 3; ++i) {
        const Value &send = s["blockedSends"].items[i];
        EXPECT_EQ(send["tid"].num(), state.tids[i + 1]) << i;
        EXPECT_EQ(send["pid"].num(), pid);
        EXPECT_EQ(send["channel"].str(), "busy");
        EXPECT_EQ(send["size"].num(), kSize);
        EXPECT_EQ(send["state"].str(), states[i]);
    }
    EXPECT_EQ(s["connections"].items.size(), 3u);
    EXPECT_EQ(s["counters"]["requests"]["send"].num(), 3);
    EXPECT_EQ(s["counters"]["requests"]["create"].num(), 3);
    EXPECT_EQ(s["counters"]["bytesMoved"].num(), kSize);
    EXPECT_EQ(s["counters"]["errors"]["ENOENT"].num(), 1);

    const Value t = zelkJson("threads --json");
    std::vector<std::string> seen;
    for (const Value &thread : t["threads"].items) {
        const std::string name = thread["name"].str();
        seen.push_back(name);
        EXPECT_EQ(thread["pid"].num(), pid) << name;
        EXPECT_EQ(thread["stale"].boolean, name == "ghost") << name;
        if (name.rfind("client", 0) == 0) {
            EXPECT_EQ(thread["state"].str(), "send") << name;
            EXPECT_EQ(thread["channel"].str(), "busy") << name;
        } else if (name == "idle") {
            EXPECT_EQ(thread["state"].str(), "receive");
            EXPECT_EQ(thread["channel"].str(), "quiet");
            EXPECT_EQ(thread["tid"].num(), idleTid);
        } else if (name == "server") {
            EXPECT_EQ(thread["state"].str(), "sleeping");
            ASSERT_EQ(thread["holding"].items.size(), 1u);
            EXPECT_EQ(thread["holding"].items[0]["messageId"].num(),
                      state.firstId);
            EXPECT_EQ(thread["systemName"].str(), "server");
            EXPECT_EQ(thread["policy"].str(), "other");
        }
    }
    // Listed by thread id: the order they were started in, unless the ids
    // wrapped around meanwhile.
    std::vector<std::pair<int, std::string>> byTid;
    const char *names[] = {"server", "client1", "client2", "client3", "idle"};
    for (int i = 0; i < 5; ++i)
        byTid.emplace_back(state.tids[i], names[i]);
    std::sort(byTid.begin(), byTid.end());
    std::vector<std::string> expected;
    for (const auto &[tid, name] : byTid)
        expected.push_back(name);
    expected.push_back("ghost");
    EXPECT_EQ(seen, expected);

    userGo.open();
    std::string view;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fromUser[0], chunk, sizeof chunk)) > 0)
        view.append(chunk, static_cast<size_t>(n));
    const Value mine = parsed(view);
    EXPECT_EQ(zelk::test::waitChild(user), 0);
    EXPECT_FALSE(mine["viewer"]["seesAll"].boolean);
    ASSERT_EQ(mine["channels"].items.size(), 1u);
    EXPECT_EQ(mine["channels"].items[0]["name"].str(), kMine);
    EXPECT_TRUE(mine["blockedSends"].items.empty());
    EXPECT_TRUE(mine["connections"].items.empty());
    EXPECT_EQ(mine["hidden"]["channels"].num(), 2);
    EXPECT_EQ(mine["hidden"]["blockedSends"].num(), 3);
    EXPECT_EQ(mine["hidden"]["receivers"].num(), 1);
    EXPECT_EQ(mine["hidden"]["connections"].num(), 3);
    ASSERT_EQ(mine["users"].items.size(), 1u);
    EXPECT_EQ(mine["users"].items[0]["uid"].num(), 65534);

    // The tables name the channels; without zelkd the command says so.
    EXPECT_NE(run(std::string(ZELK_TOOL_PATH) + " status").find("busy"),
              std::string::npos);
    state.release.open();
    EXPECT_EQ(WEXITSTATUS(zelkd.stop()), 0);
    for (int i = 0; i < 10000 && state.done < 5; ++i)
        usleep(1000);
    EXPECT_EQ(state.done, 5) << "threads still blocked after zelkd stopped";
    int status = 0;
    const std::string gone =
        run(std::string(ZELK_TOOL_PATH) + " status 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(gone.find("zelkd is not running"), std::string::npos) << gone;
    unlink(ghost.c_str());
    close(fromUser[0]);
}

} // namespace
