// The private world of a zelkd session: a mount namespace of its own (inside
// a user namespace of its own for an unprivileged user), a /dev in which the
// session's zelkd makes its own device file, and an empty marker directory.
// Nothing is created outside the namespace.
#ifndef ZELKD_SESSION_NAMESPACE_H
#define ZELKD_SESSION_NAMESPACE_H

#include <string>

#include <sys/types.h>

namespace zelkd {

// Who started the session, before entering it.
struct SessionUser {
    uid_t uid;
    gid_t gid;
};

// Moves the calling (single-threaded) process into a mount namespace of its
// own with every mount private: directly as root, otherwise inside a new user
// namespace in which the caller is root. Returns "" or why not, worded for
// the user.
std::string enterSessionNamespace(const SessionUser &user);

// Checks that /dev/fuse can be opened; "" or why not.
std::string checkFuse();

// Replaces /dev with a tmpfs that holds everything the old /dev holds (bound
// in, entry by entry) except a device file /dev/zelk, and gives the marker
// directory an empty tmpfs of its own. "" or why not.
std::string makePrivateDevAndMarkers();

// In a process about to run the user's program inside an unprivileged
// session: a further user namespace in which the caller has their own ids
// again instead of root's. "" or why not.
std::string becomeUserAgain(const SessionUser &user);

} // namespace zelkd

#endif
