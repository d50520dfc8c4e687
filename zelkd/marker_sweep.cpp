// One readdir of the marker directory per sweep and one stat in /proc per
// marker. The pid alone is not enough: once the pid has been reused, the
// process that bears it now is another one, whose threads have other ids.
#include "marker_sweep.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"
#include "quiet_thread.h"

namespace zelkd {

namespace {

// Reads a positive decimal number at text after prefix; returns the position
// after it, or nullptr.
const char *parseId(const char *text, const char *prefix, long &id)
{
    const size_t length = strlen(prefix);
    if (strncmp(text, prefix, length) != 0)
        return nullptr;
    text += length;
    if (*text < '0' || *text > '9')
        return nullptr;
    char *end = nullptr;
    errno = 0;
    id = strtol(text, &end, 10);
    if (errno != 0 || id <= 0 || id > INT32_MAX)
        return nullptr;
    return end;
}

// True when name is a marker whose thread certainly does not run.
bool isStale(const char *name)
{
    long pid = 0;
    long tid = 0;
    const char *at = parseId(name, "pid", pid);
    if (at == nullptr || (at = parseId(at, "-tid", tid)) == nullptr ||
        *at != '-')
        return false;
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/task/%ld", pid, tid);
    struct stat st;
    // Any answer but "no such file" (no permission, a /proc hiding other
    // users' processes) keeps the marker.
    return stat(path, &st) != 0 && errno == ENOENT;
}

bool isRegularFile(int dirFd, const dirent &entry)
{
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type == DT_REG;
    struct stat st;
    return fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode);
}

} // namespace

int sweepMarkers(const std::string &dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0; // no directory, no markers
    DIR *listing = fdopendir(fd);
    if (listing == nullptr) {
        close(fd);
        return 0;
    }
    int removed = 0;
    while (const dirent *entry = readdir(listing)) {
        if (!isRegularFile(fd, *entry) || !isStale(entry->d_name))
            continue;
        if (unlinkat(fd, entry->d_name, 0) == 0) {
            ++removed;
            logLine(LogLevel::Debug, "removed stale marker %s/%s", dir.c_str(),
                    entry->d_name);
        }
    }
    closedir(listing);
    return removed;
}

MarkerSweeper::MarkerSweeper(std::string dir, std::chrono::milliseconds period)
    : dir_(std::move(dir)), period_(period)
{
    thread_ = startQuietThread([this] { run(); });
}

MarkerSweeper::~MarkerSweeper()
{
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void MarkerSweeper::run()
{
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stop_) {
        hold.unlock();
        const int removed = sweepMarkers(dir_);
        if (removed > 0)
            logLine(LogLevel::Info, "removed %d stale marker file%s from %s",
                    removed, removed == 1 ? "" : "s", dir_.c_str());
        hold.lock();
        wake_.wait_for(hold, period_, [this] { return stop_; });
    }
}

} // namespace zelkd
