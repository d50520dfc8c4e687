// The marker files of the running threads that zelkThreadCreate started.
// Each thread records its marker here for as long as it runs, so that the
// markers of threads still running when the process exits are removed too.
#ifndef ZELK_THREAD_MARKER_REGISTRY_H
#define ZELK_THREAD_MARKER_REGISTRY_H

#include <atomic>

#include <sys/types.h>

namespace zelk::detail {

// One thread's marker; lives in that thread's start record. The links and
// the owner are used only under the registry's lock. They are atomics all
// the same, relaxed: a thread that unwinds from a cancelled blocking call
// runs with ThreadSanitizer blind to the locks it takes, and plain fields
// would be reported as races with the exit-time walk.
struct MarkerEntry {
    const char *path = nullptr;
    std::atomic<pid_t> owner{0}; // the process that recorded it
    std::atomic<MarkerEntry *> prev{nullptr};
    std::atomic<MarkerEntry *> next{nullptr};
};

// Records entry.path and creates the file, unless the process is already
// exiting. A file that cannot be created is no error; the entry is recorded
// all the same, so that the path is removed when the thread ends.
void markerCreate(MarkerEntry &entry);

// Forgets the entry and removes its file. Does nothing in a process forked
// after the entry was made: the marker belongs to the thread in the parent.
void markerRemove(MarkerEntry &entry);

} // namespace zelk::detail

#endif
