// Marker files and names of threads made by zelkThreadCreate: how the
// thread leaves (return, pthread_exit, cancellation), a marker already there,
// and the name "noname" when no name may be used.
#include "zelk.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include <dirent.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include "support/child.h"
#include "support/private_dev.h"
#include "thread_watch.h"

using zelk::test::fileExists;
using zelk::test::inChild;
using zelk::test::markerPath;
using zelk::test::ThreadWatch;

namespace {

#define SKIP_WITHOUT_MARKERS()                                                 \
    do {                                                                       \
        const std::string why = zelk::test::markerDirReady();                  \
        if (!why.empty())                                                      \
            GTEST_SKIP() << why;                                               \
    } while (0)

void *exitFromInside(void *arg)
{
    auto *watch = static_cast<ThreadWatch *>(arg);
    ThreadWatch::entry(watch);
    pthread_exit(reinterpret_cast<void *>(42));
}

// The start record is released on these paths as well: the ASan build's
// leak check at exit sees it otherwise.
TEST(ThreadMarkerTest, MarkerGoesWhenTheThreadIsCancelledOrExits)
{
    SKIP_WITHOUT_MARKERS();

    ThreadWatch cancelled;
    pthread_t thread;
    ASSERT_EQ(
        0, zelkThreadCreate(&thread, nullptr, ThreadWatch::entry, &cancelled));
    ASSERT_TRUE(cancelled.waitStarted());
    std::string marker = markerPath(cancelled.view.tid, "noname");
    EXPECT_TRUE(fileExists(marker));
    ASSERT_EQ(0, pthread_cancel(thread)); // it waits on a semaphore
    void *result = nullptr;
    ASSERT_EQ(0, pthread_join(thread, &result));
    EXPECT_EQ(PTHREAD_CANCELED, result);
    EXPECT_FALSE(fileExists(marker));

    ThreadWatch exiting;
    ASSERT_EQ(0, zelkThreadCreate(&thread, nullptr, exitFromInside, &exiting));
    ASSERT_TRUE(exiting.waitStarted());
    marker = markerPath(exiting.view.tid, "noname");
    EXPECT_TRUE(fileExists(marker));
    exiting.release();
    ASSERT_EQ(0, pthread_join(thread, &result));
    EXPECT_EQ(reinterpret_cast<void *>(42), result);
    EXPECT_FALSE(fileExists(marker));

    // A detached thread cleans up alike.
    const zelkThreadAttr detached{-1, 0, 0, nullptr};
    ThreadWatch watch;
    ASSERT_EQ(0,
              zelkThreadCreate(&thread, &detached, ThreadWatch::entry, &watch));
    ASSERT_TRUE(watch.waitStarted());
    marker = markerPath(watch.view.tid, "noname");
    EXPECT_TRUE(fileExists(marker));
    ASSERT_EQ(0, pthread_cancel(thread));
    EXPECT_TRUE(zelk::test::waitThreadGone(watch.view.tid));
    EXPECT_FALSE(fileExists(marker));
}

// How many markers of process pid are in the marker directory.
int markersOf(pid_t pid)
{
    const std::string prefix = "pid" + std::to_string(pid) + "-tid";
    int count = 0;
    if (DIR *dir = opendir("/var/run/zelk")) {
        while (const dirent *entry = readdir(dir))
            count += std::string(entry->d_name).starts_with(prefix) ? 1 : 0;
        closedir(dir);
    }
    return count;
}

// The thread's marker exists once its entry function runs.
std::atomic<bool> pauseEntered{false};

void *pauseForever(void *)
{
    pauseEntered = true;
    for (;;)
        pause();
}

void ignoreExpiry(int, void *) {}

// A process that calls exit() while its threads (the timer worker among
// them) still run leaves no marker behind; a child that it forked and that
// exits takes none of its parent's markers with it.
TEST(ThreadMarkerTest, ExitRemovesTheMarkersOfThreadsStillRunning)
{
    SKIP_WITHOUT_MARKERS();
    const pid_t pid = zelk::test::forkChild([] {
        pthread_t thread;
        ASSERT_EQ(0, zelkThreadCreate(&thread, nullptr, pauseForever, nullptr));
        for (int i = 0; i < 5000 && !pauseEntered; ++i)
            usleep(1000);
        ASSERT_LE(0, zelkTimerCreate(ignoreExpiry, nullptr));
        ASSERT_EQ(2, markersOf(getpid()));

        const pid_t child = fork();
        if (child == 0)
            exit(0);
        EXPECT_EQ(0, zelk::test::waitChild(child));
        EXPECT_EQ(2, markersOf(getpid()));
        fflush(stdout);
        exit(::testing::Test::HasFailure() ? 1 : 0);
    });
    ASSERT_EQ(0, zelk::test::waitChild(pid));
    EXPECT_EQ(0, markersOf(pid));
}

// Runs as process 1 of a pid namespace of its own, where nothing else makes
// threads, so the thread id that the next thread gets is known beforehand.
void checkMarkerAlreadyThere()
{
    int last = 0;
    std::thread([&] { last = gettid(); }).join();
    const std::string marker = markerPath(last + 1, "noname");
    const int fd = open(marker.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_LE(0, fd) << strerror(errno);
    close(fd);

    ThreadWatch watch;
    pthread_t thread;
    ASSERT_EQ(0,
              zelkThreadCreate(&thread, nullptr, ThreadWatch::entry, &watch));
    ASSERT_TRUE(watch.waitStarted());
    ASSERT_EQ(last + 1, watch.view.tid);
    EXPECT_TRUE(fileExists(marker));
    watch.release();
    ASSERT_EQ(0, pthread_join(thread, nullptr));
    EXPECT_FALSE(fileExists(marker)) << "removed at the end all the same";
}

TEST(ThreadMarkerTest, MarkerAlreadyThereDoesNotStopTheThread)
{
    SKIP_WITHOUT_MARKERS();
    EXPECT_EQ(0, inChild([] {
                  ASSERT_EQ(0, unshare(CLONE_NEWPID)) << strerror(errno);
                  EXPECT_EQ(0, inChild(checkMarkerAlreadyThere));
              }));
}

// Runs with a /dev of its own that has no driver in it.
void checkNonameWithoutDriver()
{
    ASSERT_EQ("", zelk::test::enterPrivateDev());
    const zelkThreadAttr attrs[] = {
        {-1, 0, 0, "unflagged"},
        {-1, 0, ZELK_THREAD_NAME_VALID, "nodriver"},
        {-1, 0, ZELK_THREAD_NAME_VALID, nullptr},
    };
    for (const zelkThreadAttr &attr : attrs) {
        ThreadWatch watch;
        pthread_t thread;
        ASSERT_EQ(0,
                  zelkThreadCreate(&thread, &attr, ThreadWatch::entry, &watch));
        ASSERT_TRUE(watch.waitStarted());
        EXPECT_EQ("noname", watch.view.comm);
        EXPECT_TRUE(fileExists(markerPath(watch.view.tid, "noname")));
        watch.release();
        EXPECT_TRUE(zelk::test::waitThreadGone(watch.view.tid));
    }
}

TEST(ThreadNameTest, NameIsNonameWithoutTheFlagOrWithoutDriver)
{
    SKIP_WITHOUT_MARKERS();
    EXPECT_EQ(0, inChild(checkNonameWithoutDriver));
}

} // namespace
