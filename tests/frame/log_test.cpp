#include "zelk.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/child.h"
#include "support/private_dev.h"
#include "support/syslog_sink.h"

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

// A scratch directory per test, removed with everything in it.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/zelk-log-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(templ));
        dir_ = templ;
    }
    void TearDown() override
    {
        zelkLogConfig(ZELK_LOG_TO_FILE, nullptr);
        zelkLogConfig(ZELK_LOG_TO_CONSOLE, nullptr);
        std::filesystem::remove_all(dir_);
    }
    std::string path(const char *name) const { return dir_ + "/" + name; }

    std::string dir_;
};

TEST_F(LogTest, MaskSelectsLevelsAndLevelZeroAlwaysPasses)
{
    const std::string file = path("mask.log");
    ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_FILE, file.c_str()));

    zelkLog(0, "a");
    zelkLog(1, "b"); // mask 0 at load: filtered
    zelkLogMaskSet(0x6);
    zelkLog(0x2, "c");
    zelkLog(0x6, "d");
    zelkLog(0x1, "e");
    zelkLog(0x9, "f");
    zelkLog(0, "%s=%d\n", "g", 7);
    EXPECT_EQ("acdg=7\n", readFile(file)); // no line ends added
}

TEST_F(LogTest, ConsoleGetsMessagesOnlyWhileEnabled)
{
    const std::string out = path("stdout");
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    ASSERT_NE(nullptr, freopen(out.c_str(), "w", stdout));

    zelkLog(0, "before ");
    EXPECT_EQ(0, zelkLogConfig(ZELK_LOG_TO_CONSOLE, "")); // text is ignored
    zelkLog(0, "on ");
    zelkLog(0, "%d", 42);
    EXPECT_EQ(0, zelkLogConfig(ZELK_LOG_TO_CONSOLE, nullptr));
    zelkLog(0, " off");

    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    EXPECT_EQ("on 42", readFile(out)); // flushed by zelkLog itself
}

TEST_F(LogTest, FileIsAppendedReplacedAndSwitchedOff)
{
    const std::string first = path("first.log");
    const std::string second = path("second.log");
    writeFile(first, "old\n");

    EXPECT_EQ(0, zelkLogConfig(ZELK_LOG_TO_FILE, nullptr)); // none open: no-op
    ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_FILE, first.c_str()));
    zelkLog(0, "one\n");
    EXPECT_EQ("old\none\n", readFile(first)); // on disk when zelkLog returns

    ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_FILE, second.c_str()));
    zelkLog(0, "two\n");
    ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_FILE, nullptr));
    zelkLog(0, "three\n");

    EXPECT_EQ("old\none\n", readFile(first));
    EXPECT_EQ("two\n", readFile(second));
}

TEST_F(LogTest, OpenFailureReportsErrnoAndLeavesFileLoggingOff)
{
    const std::string first = path("first.log");
    ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_FILE, first.c_str()));
    zelkLog(0, "kept\n");

    const std::string missing = path("no-such-dir/x.log");
    errno = 0;
    EXPECT_EQ(-1, zelkLogConfig(ZELK_LOG_TO_FILE, missing.c_str()));
    EXPECT_EQ(ENOENT, errno);
    zelkLog(0, "lost\n");
    EXPECT_EQ("kept\n", readFile(first));
}

TEST_F(LogTest, UnknownDestinationIsRefusedAndChangesNothing)
{
    const std::string file = path("kept.log");
    ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_FILE, file.c_str()));
    for (int destination : {0, 4, -1}) {
        errno = 0;
        EXPECT_EQ(-1, zelkLogConfig(destination, nullptr)) << destination;
        EXPECT_EQ(EINVAL, errno) << destination;
    }
    zelkLog(0, "still on");
    EXPECT_EQ("still on", readFile(file));
}

TEST_F(LogTest, NoDestinationAndNullFormatWriteNothing)
{
    zelkLog(0, "nowhere\n"); // nothing enabled: returns normally
    const std::string file = path("null.log");
    ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_FILE, file.c_str()));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    zelkLog(0, nullptr);
#pragma GCC diagnostic pop
    EXPECT_EQ("", readFile(file));
}

TEST_F(LogTest, MessagesFromManyThreadsStayWhole)
{
    const std::string file = path("threads.log");
    ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_FILE, file.c_str()));
    constexpr int kThreads = 4;
    constexpr int kMessages = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kMessages; ++i)
                zelkLog(0, "thread %d message %d end\n", t, i);
        });
    for (auto &thread : threads)
        thread.join();

    std::istringstream lines(readFile(file));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        int t = -1, i = -1;
        char tail[8] = {};
        ASSERT_EQ(3, sscanf(line.c_str(), "thread %d message %d %7s", &t, &i,
                            tail))
            << line;
        EXPECT_STREQ("end", tail);
        ++count;
    }
    EXPECT_EQ(kThreads * kMessages, count);
}

TEST(LogSyslogTest, SyslogGetsNoticePriorityUntilSwitchedOff)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private /dev with a syslog socket";
    EXPECT_EQ(0, zelk::test::inChild([] {
        ASSERT_EQ("", zelk::test::enterPrivateDev());
        zelk::test::SyslogSink sink;
        ASSERT_EQ("", sink.bind());

        ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_SYSLOG, "any text"));
        zelkLog(0, "hello %d", 5);
        zelkLog(1, "filtered");
        ASSERT_EQ(0, zelkLogConfig(ZELK_LOG_TO_SYSLOG, nullptr));
        zelkLog(0, "after");

        const auto records = sink.collect();
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ(8 + 5, records[0].priority); // LOG_USER | LOG_NOTICE
        EXPECT_EQ("hello 5", records[0].message);
        const std::string pid = "[" + std::to_string(getpid()) + "]";
        EXPECT_NE(std::string::npos, records[0].ident.find(pid))
            << records[0].ident;
    }));
}

} // namespace
