// A list of the marker files of running threads. At normal process exit
// (exit, return from main) the markers of the threads still running are
// removed; threads that end at the same moment take the same lock, so every
// entry is visited whole. A forked child starts with an empty list.
#include "thread/marker_registry.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "common/lock.h"
#include "common/status.h"

namespace zelk::detail {

namespace {

constinit pthread_mutex_t markerMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<MarkerEntry *> markerHead{nullptr}; // guarded by markerMutex
bool markerExiting = false;        // guarded by markerMutex
// In a forked child: the parent's entries, never visited again. Kept only so
// that leak checkers still see their start records as reachable.
MarkerEntry *volatile markersOfParent = nullptr;

// Removes every recorded marker and makes later threads create none: their
// files would outlive the process.
__attribute__((destructor)) void removeMarkersAtExit()
{
    const ErrnoSaver keep;
    const MutexHolder hold(&markerMutex);
    markerExiting = true;
    for (MarkerEntry *entry = markerHead.load(std::memory_order_relaxed);
         entry != nullptr; entry = entry->next.load(std::memory_order_relaxed))
        unlink(entry->path);
}

// The child has only the thread that forked; the parent's threads and their
// markers are not its own. The lock may have been held by a thread that
// does not exist in the child.
void forgetMarkersInChild()
{
    markerMutex = PTHREAD_MUTEX_INITIALIZER;
    if (MarkerEntry *parents = markerHead.load(std::memory_order_relaxed))
        markersOfParent = parents;
    markerHead.store(nullptr, std::memory_order_relaxed);
}

__attribute__((constructor)) void registerForkHandler()
{
    pthread_atfork(nullptr, nullptr, forgetMarkersInChild);
}

} // namespace

void markerCreate(MarkerEntry &entry)
{
    const MutexHolder hold(&markerMutex);
    if (markerExiting)
        return;
    constexpr auto relaxed = std::memory_order_relaxed;
    MarkerEntry *const head = markerHead.load(relaxed);
    entry.owner.store(getpid(), relaxed);
    entry.prev.store(nullptr, relaxed);
    entry.next.store(head, relaxed);
    if (head != nullptr)
        head->prev.store(&entry, relaxed);
    markerHead.store(&entry, relaxed);
    const int fd =
        open(entry.path, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
}

void markerRemove(MarkerEntry &entry)
{
    constexpr auto relaxed = std::memory_order_relaxed;
    const MutexHolder hold(&markerMutex);
    const pid_t owner = entry.owner.load(relaxed);
    if (owner == 0 || owner != getpid())
        return;
    MarkerEntry *const prev = entry.prev.load(relaxed);
    MarkerEntry *const next = entry.next.load(relaxed);
    if (prev != nullptr)
        prev->next.store(next, relaxed);
    else
        markerHead.store(next, relaxed);
    if (next != nullptr)
        next->prev.store(prev, relaxed);
    entry.owner.store(0, relaxed);
    // unlink, not remove: a directory under the marker's name is never the
    // thread's to delete.
    unlink(entry.path);
}

} // namespace zelk::detail
