// Threads and synchronisation against the raw threads library: a mutex
// lock/unlock pair, a signal->wait round trip between two threads, and
// creating and joining a thread, with and without its marker file.
#include "zelk.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void BM_pthreadMutexLockUnlock(benchmark::State &state)
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
    }
}
BENCHMARK(BM_pthreadMutexLockUnlock);

void BM_zelkMutexLockUnlock(benchmark::State &state)
{
    pthread_mutex_t mutex;
    zelkMutexInit(&mutex);
    for (auto _ : state) {
        zelkMutexLock(&mutex);
        zelkMutexUnlock(&mutex);
    }
    zelkMutexDestroy(&mutex);
}
BENCHMARK(BM_zelkMutexLockUnlock);

// Round trip baseline: a flag word under a mutex and a condition variable in
// each direction, as a user would write it by hand.
struct RawSide {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    uint32_t bits = 0;

    void signal(uint32_t bit)
    {
        pthread_mutex_lock(&mutex);
        bits |= bit;
        pthread_cond_signal(&cond);
        pthread_mutex_unlock(&mutex);
    }
    uint32_t wait(uint32_t mask)
    {
        pthread_mutex_lock(&mutex);
        while ((bits & mask) == 0)
            pthread_cond_wait(&cond, &mutex);
        const uint32_t taken = bits & mask;
        bits &= ~taken;
        pthread_mutex_unlock(&mutex);
        return taken;
    }
};

struct ZelkSide {
    zelkEvent event;
    ZelkSide() { zelkEventInit(&event); }
    ~ZelkSide() { zelkEventDestroy(&event); }
    void signal(uint32_t bit) { zelkEventSignal(&event, bit); }
    uint32_t wait(uint32_t mask)
    {
        zelkEventWait(&event, &mask);
        return mask;
    }
};

constexpr uint32_t kPing = 0x1;
constexpr uint32_t kQuit = 0x2;

// The partner answers every ping on "there" with a ping on "back".
template <typename Side> struct PingPong {
    Side there, back;

    static void *partner(void *arg)
    {
        auto *self = static_cast<PingPong *>(arg);
        while (self->there.wait(kPing | kQuit) == kPing)
            self->back.signal(kPing);
        return nullptr;
    }
};

template <typename Side> void roundTrip(benchmark::State &state)
{
    PingPong<Side> pair;
    pthread_t partner;
    pthread_create(&partner, nullptr, PingPong<Side>::partner, &pair);
    for (auto _ : state) {
        pair.there.signal(kPing);
        pair.back.wait(kPing);
    }
    pair.there.signal(kQuit);
    pthread_join(partner, nullptr);
}

void BM_rawCondvarRoundTrip(benchmark::State &state)
{
    roundTrip<RawSide>(state);
}
BENCHMARK(BM_rawCondvarRoundTrip)->UseRealTime();

void BM_zelkEventRoundTrip(benchmark::State &state)
{
    roundTrip<ZelkSide>(state);
}
BENCHMARK(BM_zelkEventRoundTrip)->UseRealTime();

void *nothing(void *arg)
{
    return arg;
}

void BM_pthreadCreateJoin(benchmark::State &state)
{
    for (auto _ : state) {
        pthread_t thread;
        pthread_create(&thread, nullptr, nothing, nullptr);
        pthread_join(thread, nullptr);
    }
}
BENCHMARK(BM_pthreadCreateJoin)->UseRealTime();

constexpr char kMarkerDir[] = "/var/run/zelk";

bool markersWritten()
{
    return access(kMarkerDir, W_OK) == 0;
}

void BM_zelkThreadCreateJoin(benchmark::State &state)
{
    if (getuid() == 0)
        mkdir(kMarkerDir, 0755);
    state.SetLabel(markersWritten() ? "with marker" : "no marker directory");
    for (auto _ : state) {
        pthread_t thread;
        zelkThreadCreate(&thread, nullptr, nothing, nullptr);
        pthread_join(thread, nullptr);
    }
}
BENCHMARK(BM_zelkThreadCreateJoin)->UseRealTime();

// What the marker itself costs: the create, close and unlink a thread makes.
void BM_markerFileOnly(benchmark::State &state)
{
    if (!markersWritten()) {
        state.SkipWithError("/var/run/zelk is not writable");
        return;
    }
    const std::string path =
        std::string(kMarkerDir) + "/bench-" + std::to_string(getpid());
    for (auto _ : state) {
        const int fd =
            open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
        unlink(path.c_str());
    }
}
BENCHMARK(BM_markerFileOnly);

// The same creation where no marker can be written: the marker directory is
// covered by a read-only tmpfs in a mount namespace of this process. Runs
// last, as it needs the process single-threaded and keeps the namespace.
void BM_zelkThreadCreateJoinNoMarker(benchmark::State &state)
{
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_PRIVATE | MS_REC, nullptr) != 0 ||
        mount("none", kMarkerDir, "tmpfs", MS_RDONLY, nullptr) != 0) {
        state.SkipWithError(("needs root and " + std::string(kMarkerDir) +
                             ": " + strerror(errno))
                                .c_str());
        return;
    }
    for (auto _ : state) {
        pthread_t thread;
        zelkThreadCreate(&thread, nullptr, nothing, nullptr);
        pthread_join(thread, nullptr);
    }
    umount(kMarkerDir);
}
BENCHMARK(BM_zelkThreadCreateJoinNoMarker)->UseRealTime();

} // namespace
