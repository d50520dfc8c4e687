// Renders zelkd's status as the JSON document that `zelk status --json`
// prints, filtered for the user who asks.
#ifndef ZELKD_STATUS_JSON_H
#define ZELKD_STATUS_JSON_H

#include <string>

#include "core.h"
#include "core_status.h"
#include "counters.h"

namespace zelkd {

// Who asks: root and members of the device file's group see everything;
// other users their own requests and the channels they created, and counts
// of the rest.
struct Viewer {
    uid_t uid = 0;
    bool all = false;
};

// What the daemon knows of itself.
struct DaemonInfo {
    std::string version;
    std::string device;
    pid_t pid = 0;
    int64_t startedNs = 0; // CLOCK_MONOTONIC
    Limits limits;
};

std::string statusJson(const CoreStatus &status, const Counters &counters,
                       const DaemonInfo &daemon, const Viewer &viewer);

} // namespace zelkd

#endif
