// zelkd's sweep of stale markers, on a directory of the test's own: markers of
// ended processes and of threads that are no thread of a live process go;
// live threads' markers and anything that is no marker stay.
#include "marker_sweep.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string marker(long pid, long tid, const char *name)
{
    return "pid" + std::to_string(pid) + "-tid" + std::to_string(tid) + "-" +
           name;
}

TEST(MarkerSweepTest, RemovesOnlyMarkersOfThreadsThatDoNotRun)
{
    char dirTemplate[] = "/tmp/zelk-sweep-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dirTemplate));
    const std::string dir = dirTemplate;

    const pid_t ended = fork();
    if (ended == 0)
        _exit(0);
    ASSERT_EQ(ended, waitpid(ended, nullptr, 0));

    // A live thread of this process, running while the sweep looks.
    std::atomic<int> liveTid{0};
    std::atomic<bool> done{false};
    std::thread live([&] {
        liveTid = gettid();
        while (!done)
            std::this_thread::sleep_for(1ms);
    });
    while (liveTid == 0)
        std::this_thread::sleep_for(1ms);

    const std::string stale[] = {
        marker(ended, ended + 1, "noname"), // the process is gone
        marker(getpid(), ended, "reused"),  // no thread of this process
    };
    const std::string kept[] = {
        marker(getpid(), liveTid, "worker"),
        marker(getpid(), getpid(), ""),
        "pid" + std::to_string(ended) + "x-tid1-odd", // not a marker's name
        "notes",
    };
    for (const auto &name : stale)
        std::ofstream(dir + "/" + name).put('\n');
    for (const auto &name : kept)
        std::ofstream(dir + "/" + name).put('\n');
    // A directory and a symbolic link under a stale marker's name stay too.
    const std::string subdir = marker(ended, ended, "dir");
    ASSERT_EQ(0, mkdir((dir + "/" + subdir).c_str(), 0755));
    const std::string link = marker(ended, ended, "link");
    ASSERT_EQ(0, symlink("notes", (dir + "/" + link).c_str()));

    EXPECT_EQ(2, zelkd::sweepMarkers(dir));
    for (const auto &name : stale)
        EXPECT_FALSE(exists(dir + "/" + name)) << name;
    for (const auto &name : kept)
        EXPECT_TRUE(exists(dir + "/" + name)) << name;
    EXPECT_TRUE(exists(dir + "/" + subdir));
    EXPECT_TRUE(exists(dir + "/" + link));
    EXPECT_EQ(0, zelkd::sweepMarkers(dir + "/missing"));

    // The sweeper sweeps at once when it starts, and stops when destroyed.
    std::ofstream(dir + "/" + stale[0]).put('\n');
    {
        const zelkd::MarkerSweeper sweeper(dir, 1h);
        for (int i = 0; i < 5000 && exists(dir + "/" + stale[0]); ++i)
            std::this_thread::sleep_for(1ms);
        EXPECT_FALSE(exists(dir + "/" + stale[0]));
    }
    EXPECT_TRUE(exists(dir + "/" + kept[0]));

    done = true;
    live.join();
    EXPECT_EQ(0, std::system(("rm -rf " + dir).c_str()));
}

} // namespace
