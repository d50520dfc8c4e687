// Preparing the device path before mounting: create the file when missing,
// clear stale mounts that a daemon left when it died.
#ifndef ZELKD_MOUNT_POINT_H
#define ZELKD_MOUNT_POINT_H

#include <string>

namespace zelkd {

// True when path (absolute) is where a mount visible in this process's
// mount namespace is attached.
bool isMountPoint(const std::string &path);

// Makes path usable as the mount point: clears stale FUSE mounts stacked on
// it (their open() fails with ENOTCONN), refuses one that still answers, and
// creates the file (mode 0600) when missing; created tells whether it did,
// or whether an earlier zelkd did (the file is then zelkd's to remove).
// Returns "" or why the path cannot be used.
std::string prepareMountPoint(const std::string &path, bool &created);

} // namespace zelkd

#endif
