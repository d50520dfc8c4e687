// Watching threads made by zelkThreadCreate from the inside: an entry
// function that records what the new thread sees of itself (kernel thread id,
// system name, scheduling, detach state, stack) and then holds it until the
// test lets it go, plus the marker-file paths and directory.
#ifndef ZELK_TESTS_THREAD_THREAD_WATCH_H
#define ZELK_TESTS_THREAD_THREAD_WATCH_H

#include <pthread.h>
#include <semaphore.h>

#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include "zelk.h"

namespace zelk::test {

struct SelfView {
    int tid = 0;
    std::string comm; // /proc/self/task/<tid>/comm without the line end
    int policy = -1;
    int priority = -1;
    int detachState = -1;
    size_t stackSize = 0;
};

// What a watched thread saw, and the two semaphores that hold it running.
// Must outlive the thread: join it, or waitThreadGone(view.tid).
class ThreadWatch {
public:
    ThreadWatch();
    ~ThreadWatch();
    ThreadWatch(const ThreadWatch &) = delete;
    ThreadWatch &operator=(const ThreadWatch &) = delete;

    // The entry function to give zelkThreadCreate with this watch as its
    // argument. It returns the watch's address.
    static void *entry(void *watch);

    // Waits (at most 10 s) until the thread has recorded its view.
    bool waitStarted();
    // Lets the thread return from its entry function.
    void release();

    SelfView view;

private:
    void recordStart();
    void waitRelease();

    sem_t started_;
    sem_t release_;
};

// The thread's view of itself, taken on the calling thread.
SelfView viewSelf();

// /var/run/zelk/pid<pid>-tid<tid>-<name> for this process.
std::string markerPath(int tid, const std::string &name);
bool fileExists(const std::string &path);

// Makes /var/run/zelk exist (as root). "" when markers can be written there,
// otherwise why not, for GTEST_SKIP().
std::string markerDirReady();

// Succeeds when zelkThreadCreate(attr) fails with errno err. The entry it
// is given counts its runs in refusedEntriesRun(), which stays 0 when no
// refused call started a thread.
::testing::AssertionResult createRefused(const zelkThreadAttr *attr, int err);
int refusedEntriesRun();

// Waits (at most 10 s) until the thread with this kernel id has ended.
bool waitThreadGone(int tid);

// Waits (at most 10 s) until path no longer exists.
bool waitFileGone(const std::string &path);

} // namespace zelk::test

#endif
