// Removal of stale thread marker files: markers left by processes that ended
// without removing them (killed, crashed, _exit). A marker names its process
// and thread; it is stale when that thread is no thread of that process.
#ifndef ZELKD_MARKER_SWEEP_H
#define ZELKD_MARKER_SWEEP_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace zelkd {

// The directory in which the library's threads announce themselves.
inline constexpr char kMarkerDirectory[] = "/var/run/zelk";

// Removes the stale markers in dir with one pass over it; returns how many
// it removed. A marker whose thread may still run is never removed: only
// regular files named pid<pid>-tid<tid>-<name> are looked at, and only when
// /proc says plainly that the process, or that thread of it, does not exist.
int sweepMarkers(const std::string &dir);

// Sweeps dir at once and then every period, on a thread of its own (with
// every signal blocked, so that signals reach the daemon's event loop),
// until it is destroyed.
class MarkerSweeper {
public:
    MarkerSweeper(std::string dir, std::chrono::milliseconds period);
    ~MarkerSweeper();
    MarkerSweeper(const MarkerSweeper &) = delete;
    MarkerSweeper &operator=(const MarkerSweeper &) = delete;

private:
    void run();

    const std::string dir_;
    const std::chrono::milliseconds period_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false; // guarded by mutex_
    std::thread thread_;
};

} // namespace zelkd

#endif
