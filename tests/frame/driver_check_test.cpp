#include "zelk.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child.h"
#include "support/private_dev.h"
#include "support/syslog_sink.h"

namespace {

using zelk::test::SyslogRecord;

const std::string kOpenFailed =
    "ZELK-library: Open on ZELK-driver failed (errno = %d)!\n";
const std::string kNotUsable = "ZELK-library: zelkChannel, zelkConnect and "
                               "zelkMemProbe functions aren't usable!\n";

std::string openFailedText(int err)
{
    char text[128];
    snprintf(text, sizeof text, kOpenFailed.c_str(), err);
    return text;
}

// Runs the load probe (a program that only loads the library) and returns
// its pid once it has ended successfully.
pid_t runLoadProbe()
{
    const pid_t pid = fork();
    if (pid == 0) {
        execl(ZELK_LOAD_PROBE, ZELK_LOAD_PROBE, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return pid;
}

void expectWarnings(const std::vector<SyslogRecord> &records, int err,
                    pid_t pid)
{
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(openFailedText(err), records[0].message);
    EXPECT_EQ(kNotUsable, records[1].message);
    for (const SyslogRecord &record : records) {
        EXPECT_EQ(8 + 5, record.priority); // LOG_USER | LOG_NOTICE
        const std::string tag = "[" + std::to_string(pid) + "]";
        EXPECT_NE(std::string::npos, record.ident.find(tag)) << record.ident;
    }
}

class DriverCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a private /dev with a syslog socket";
    }
};

TEST_F(DriverCheckTest, LoadWithoutDeviceWarnsTwiceThroughSyslog)
{
    EXPECT_EQ(0, zelk::test::inChild([] {
        ASSERT_EQ("", zelk::test::enterPrivateDev());
        zelk::test::SyslogSink sink;
        ASSERT_EQ("", sink.bind());
        const pid_t probe = runLoadProbe();
        expectWarnings(sink.collect(), ENOENT, probe);
    }));
}

TEST_F(DriverCheckTest, LoadWithDevicePresentIsSilent)
{
    EXPECT_EQ(0, zelk::test::inChild([] {
        ASSERT_EQ("", zelk::test::enterPrivateDev());
        const int fd = open("/dev/zelk", O_RDWR | O_CREAT, 0666);
        ASSERT_GE(fd, 0);
        close(fd);
        zelk::test::SyslogSink sink;
        ASSERT_EQ("", sink.bind());
        runLoadProbe();
        EXPECT_TRUE(sink.collect().empty());
    }));
}

TEST_F(DriverCheckTest, RepeatedCheckReportsErrnoAndRestoresSyslogState)
{
    EXPECT_EQ(0, zelk::test::inChild([] {
        ASSERT_EQ("", zelk::test::enterPrivateDev());
        zelk::test::SyslogSink sink;
        ASSERT_EQ("", sink.bind());

        // Off before the check: off again after it.
        errno = 1234;
        EXPECT_EQ(0, checkDriver());
        EXPECT_EQ(1234, errno);
        zelkLog(0, "not sent\n");
        expectWarnings(sink.collect(), ENOENT, getpid());

        // On before the check: still on after it.
        ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_SYSLOG, ""));
        EXPECT_EQ(0, checkDriver());
        zelkLog(0, "sent\n");
        const auto records = sink.collect();
        ASSERT_EQ(3u, records.size());
        EXPECT_EQ("sent\n", records[2].message);
    }));
}

TEST_F(DriverCheckTest, RefusedDeviceReportsItsErrno)
{
    EXPECT_EQ(0, zelk::test::inChild([] {
        ASSERT_EQ("", zelk::test::enterPrivateDev());
        const int fd = open("/dev/zelk", O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
        zelk::test::SyslogSink sink;
        ASSERT_EQ("", sink.bind());
        chmod("/dev/log", 0666);
        ASSERT_EQ("", zelk::test::dropToUnprivilegedUser());
        const pid_t probe = runLoadProbe();
        expectWarnings(sink.collect(), EACCES, probe);
    }));
}

} // namespace
