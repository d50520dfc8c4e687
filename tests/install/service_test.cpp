// zelkd as its systemd unit runs it: under the unit's capability bounding
// set and without new privileges, with the unit's own device options. The
// settings are read from the unit file, so the test follows the unit.
#include "zelk.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child.h"
#include "support/expect_fails.h"
#include "support/gate.h"
#include "support/zelkd_fixture.h"

namespace {

using zelk::test::dropToUser;
using zelk::test::forkChild;
using zelk::test::Gate;
using zelk::test::waitChild;

// Ids that no real user or group of the machine needs to have.
constexpr gid_t kDeviceGroup = 47110;
constexpr uid_t kServer = 47111;
constexpr uid_t kClient = 47112;
constexpr uid_t kOutsider = 47113;

struct UnitSettings {
    std::vector<std::string> arguments; // ExecStart= after the program
    std::vector<std::string> capabilities;
    bool noNewPrivileges = false;
};

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

UnitSettings readUnit(const char *path)
{
    UnitSettings unit;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::vector<std::string> value = words(line.substr(equals + 1));
        if (key == "ExecStart" && !value.empty())
            unit.arguments.assign(value.begin() + 1, value.end());
        else if (key == "CapabilityBoundingSet")
            unit.capabilities = value;
        else if (key == "NoNewPrivileges")
            unit.noNewPrivileges = value == std::vector<std::string>{"yes"};
    }
    return unit;
}

// The effective capability mask that the named capabilities make.
uint64_t capabilityMask(const std::vector<std::string> &names)
{
    static const struct {
        const char *name;
        int bit;
    } known[] = {{"CAP_DAC_OVERRIDE", 1},
                 {"CAP_SYS_PTRACE", 19},
                 {"CAP_SYS_ADMIN", 21},
                 {"CAP_SYS_NICE", 23}};
    uint64_t mask = 0;
    for (const std::string &name : names) {
        bool found = false;
        for (const auto &cap : known) {
            if (name == cap.name) {
                mask |= uint64_t{1} << cap.bit;
                found = true;
            }
        }
        EXPECT_TRUE(found) << "capability not known to this test: " << name;
    }
    return mask;
}

// One line of /proc/<pid>/status, without its "Name:" part.
std::string statusField(pid_t pid, const std::string &name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return words(line.substr(name.size() + 1)).at(0);
    }
    return "";
}

class ServiceUnitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unit = readUnit(ZELK_SERVICE_UNIT);
        ASSERT_FALSE(unit.arguments.empty()) << "no ExecStart= in the unit";
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "needs /usr/bin/setpriv (util-linux)";
        std::string why = zelk::test::enterDriverSandbox();
        if (!why.empty())
            GTEST_SKIP() << why;

        // The unit names the group zelk, which this machine need not have.
        std::vector<std::string> arguments = unit.arguments;
        for (size_t i = 0; i + 1 < arguments.size(); ++i) {
            if (arguments[i] == "--group")
                arguments[i + 1] = std::to_string(kDeviceGroup);
        }
        arguments.push_back("--log");
        arguments.push_back("stderr");

        std::string bounding = "-all";
        for (const std::string &cap : unit.capabilities) {
            std::string name = cap.substr(cap.find('_') + 1);
            for (char &c : name)
                c = static_cast<char>(tolower(c));
            bounding += ",+" + name;
        }
        std::vector<std::string> launcher = {"/usr/bin/setpriv",
                                             "--bounding-set=" + bounding,
                                             "--inh-caps=-all"};
        if (unit.noNewPrivileges)
            launcher.push_back("--no-new-privs");
        why = zelkd.start("/dev/zelk", arguments, launcher);
        ASSERT_EQ("", why);
    }

    void TearDown() override
    {
        if (zelkd.pid() <= 0)
            return;
        const int status = zelkd.stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "zelkd did not stop cleanly: wait status " << status;
    }

    UnitSettings unit;
    zelk::test::ZelkdProcess zelkd;
};

TEST_F(ServiceUnitTest, ServesItsGroupOnlyWithTheUnitsCapabilities)
{
    EXPECT_TRUE(unit.noNewPrivileges);
    char mask[32];
    snprintf(mask, sizeof mask, "%016llx",
             static_cast<unsigned long long>(
                 capabilityMask(unit.capabilities)));
    EXPECT_EQ(mask, statusField(zelkd.pid(), "CapEff"));
    EXPECT_EQ("1", statusField(zelkd.pid(), "NoNewPrivs"));
    // Priority inheritance works with them: zelkd waits for requests at a
    // real-time priority.
    EXPECT_EQ(SCHED_FIFO, sched_getscheduler(zelkd.pid()));

    struct stat device {};
    ASSERT_EQ(0, stat("/dev/zelk", &device)) << strerror(errno);
    EXPECT_EQ(0660u, device.st_mode & 07777);
    EXPECT_EQ(kDeviceGroup, device.st_gid);

    // Outside the group the device cannot be opened at all.
    EXPECT_EQ(0, zelk::test::inChild([] {
                  ASSERT_EQ("", dropToUser(kOutsider, kOutsider, {}));
                  EXPECT_FAILS(EACCES, zelkConnectAttach("unit"));
                  EXPECT_FAILS(EACCES, zelkChannelCreate("unit"));
              }));

    // Two members who are different users: the daemon copies between the
    // memory of processes that are not its own user's.
    Gate ready;
    const pid_t server = forkChild([&ready] {
        ASSERT_EQ("", dropToUser(kServer, kDeviceGroup, {}));
        const int channel = zelkChannelCreate("unit");
        ASSERT_GE(channel, 0) << strerror(errno);
        ready.open();
        char buffer[16] = {};
        const int receiveId =
            zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
        ASSERT_GT(receiveId, 0) << strerror(errno);
        EXPECT_STREQ("ping", buffer);
        EXPECT_EQ(0, zelkMsgReply(receiveId, 7, "pong", 5));
        EXPECT_EQ(0, zelkChannelDestroy(channel));
    });
    const pid_t client = forkChild([&ready] {
        ASSERT_EQ("", dropToUser(kClient, kClient, {kDeviceGroup}));
        ASSERT_TRUE(ready.wait());
        const int connection = zelkConnectAttach("unit");
        ASSERT_GE(connection, 0) << strerror(errno);
        char reply[16] = {};
        EXPECT_EQ(7, zelkMsgSend(connection, "ping", 5, reply, sizeof reply));
        EXPECT_STREQ("pong", reply);
        EXPECT_EQ(0, zelkConnectDetach(connection));
    });
    const int clientResult = waitChild(client);
    EXPECT_EQ(0, clientResult);
    if (clientResult != 0)
        kill(server, SIGKILL); // it would wait for the message forever
    EXPECT_EQ(0, waitChild(server));
}

} // namespace
