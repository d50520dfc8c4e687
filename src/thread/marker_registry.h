// The marker files of the running threads that zelkThreadCreate started.
// Each thread records its marker here for as long as it runs, so that the
// markers of threads still running when the process exits are removed too.
#ifndef ZELK_THREAD_MARKER_REGISTRY_H
#define ZELK_THREAD_MARKER_REGISTRY_H

#include <sys/types.h>

namespace zelk::detail {

// One thread's marker; lives in that thread's start record.
struct MarkerEntry {
    const char *path = nullptr;
    pid_t owner = 0; // the process that recorded it
    MarkerEntry *prev = nullptr;
    MarkerEntry *next = nullptr;
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
