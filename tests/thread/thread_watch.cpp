// Threads watched from the inside; see thread_watch.h.
#include "thread_watch.h"

#include "zelk.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace zelk::test {

namespace {

constexpr int kWaitSeconds = 10;

bool waitUntil(bool (*done)(const std::string &), const std::string &what)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
    while (!done(what)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool missing(const std::string &path)
{
    return !fileExists(path);
}

std::atomic<int> refusedRuns{0};

void *countRefusedRun(void *)
{
    refusedRuns.fetch_add(1);
    return nullptr;
}

} // namespace

ThreadWatch::ThreadWatch()
{
    sem_init(&started_, 0, 0);
    sem_init(&release_, 0, 0);
}

ThreadWatch::~ThreadWatch()
{
    sem_destroy(&started_);
    sem_destroy(&release_);
}

// AddressSanitizer does not follow the unwinding of a cancellation: the
// poisoned locals of the frames it unwinds stay poisoned and give false
// reports later. The frames that can be cancelled here therefore hold no
// locals; the view is taken in a frame that has returned by then.
void *ThreadWatch::entry(void *watch)
{
    auto *self = static_cast<ThreadWatch *>(watch);
    self->recordStart();
    self->waitRelease();
    return self;
}

__attribute__((noinline)) void ThreadWatch::recordStart()
{
    view = viewSelf();
    sem_post(&started_);
}

__attribute__((noinline)) void ThreadWatch::waitRelease()
{
    while (sem_wait(&release_) != 0 && errno == EINTR) {
    }
}

bool ThreadWatch::waitStarted()
{
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kWaitSeconds;
    while (sem_timedwait(&started_, &deadline) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

void ThreadWatch::release()
{
    sem_post(&release_);
}

SelfView viewSelf()
{
    SelfView view;
    view.tid = gettid();
    std::ifstream comm("/proc/self/task/" + std::to_string(view.tid) + "/comm");
    std::getline(comm, view.comm);
    sched_param param{};
    pthread_getschedparam(pthread_self(), &view.policy, &param);
    view.priority = param.sched_priority;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getdetachstate(&attr, &view.detachState);
        pthread_attr_getstacksize(&attr, &view.stackSize);
        pthread_attr_destroy(&attr);
    }
    return view;
}

std::string markerPath(int tid, const std::string &name)
{
    return "/var/run/zelk/pid" + std::to_string(getpid()) + "-tid" +
           std::to_string(tid) + "-" + name;
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string markerDirReady()
{
    if (getuid() == 0)
        mkdir("/var/run/zelk", 0755);
    if (access("/var/run/zelk", W_OK) != 0)
        return "marker files need /var/run/zelk writable (run as root)";
    return "";
}

::testing::AssertionResult createRefused(const zelkThreadAttr *attr, int err)
{
    pthread_t thread;
    errno = 0;
    const int rc = zelkThreadCreate(&thread, attr, countRefusedRun, nullptr);
    const int got = errno;
    if (rc == -1 && got == err)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "result " << rc << ", errno " << got << " (" << strerror(got)
           << "), expected -1 and " << err << " (" << strerror(err) << ")";
}

int refusedEntriesRun()
{
    return refusedRuns.load();
}

bool waitThreadGone(int tid)
{
    return waitUntil(missing, "/proc/self/task/" + std::to_string(tid));
}

bool waitFileGone(const std::string &path)
{
    return waitUntil(missing, path);
}

} // namespace zelk::test
