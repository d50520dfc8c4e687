#include "zelk.h"

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

TEST(InfoTest, FillsVersionFlagAndBuildTextAndKeepsTheRest)
{
    zelkInfoBlock info;
    memset(&info, 0xAA, sizeof info);
    info.flags = 0x8000;

    EXPECT_EQ(80, zelkInfo(&info, 80));
    EXPECT_EQ(0x2204, info.version);
    EXPECT_EQ(0x8001, info.flags);
    for (uint8_t byte : info.reserved)
        EXPECT_EQ(0xAA, byte);

    const std::string text(info.buildText);
    // "Mmm dd yyyy with GCC <version>", the date as the compiler writes it.
    char month[4] = {};
    int day = 0, year = 0;
    ASSERT_EQ(3, sscanf(text.c_str(), "%3s %d %d", month, &day, &year)) << text;
    EXPECT_NE(nullptr, strstr("JanFebMarAprMayJunJulAugSepOctNovDec", month));
    EXPECT_TRUE(day >= 1 && day <= 31 && year >= 2022) << text;
    EXPECT_EQ(" with GCC " ZELK_COMPILER_VERSION, text.substr(11));
    for (size_t i = text.size(); i < sizeof info.buildText; ++i)
        EXPECT_EQ('\0', info.buildText[i]) << i;

    EXPECT_EQ(80, zelkInfo(&info, 4096)); // a larger size is fine
}

TEST(InfoTest, RefusesNullRecordAndShortSizeWithoutTouchingIt)
{
    zelkInfoBlock info;
    memset(&info, 0x55, sizeof info);
    const zelkInfoBlock before = info;
    for (int size : {79, 0, -80}) {
        errno = 0;
        EXPECT_EQ(-1, zelkInfo(&info, size)) << size;
        EXPECT_EQ(EINVAL, errno) << size;
    }
    EXPECT_EQ(0, memcmp(&before, &info, sizeof info));
    errno = 0;
    EXPECT_EQ(-1, zelkInfo(nullptr, 80));
    EXPECT_EQ(EINVAL, errno);
}

TEST(GettidTest, GivesEachThreadItsKernelThreadId)
{
    EXPECT_EQ(getpid(), gettid()); // the main thread's id is the process id
    // Threads alive at the same time, so that no id can have been reused.
    constexpr int kThreads = 3;
    int ids[kThreads] = {};
    long kernel[kThreads] = {};
    std::latch allStarted(kThreads + 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            ids[i] = gettid();
            kernel[i] = syscall(SYS_gettid);
            allStarted.arrive_and_wait();
        });
    allStarted.arrive_and_wait();
    for (auto &thread : threads)
        thread.join();
    std::set<int> distinct{gettid()};
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(kernel[i], ids[i]);
        distinct.insert(ids[i]);
    }
    EXPECT_EQ(4u, distinct.size());

    const std::string task = "/proc/self/task/" + std::to_string(gettid());
    struct stat st;
    EXPECT_EQ(0, stat(task.c_str(), &st));
}

} // namespace
