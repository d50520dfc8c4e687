// A private /dev for one test process, so that tests can put a syslog socket
// or a driver at the usual paths without touching the host's.
#ifndef ZELK_TESTS_SUPPORT_PRIVATE_DEV_H
#define ZELK_TESTS_SUPPORT_PRIVATE_DEV_H

#include <string>

namespace zelk::test {

// Moves the calling process into a mount namespace of its own (all mounts
// private) and mounts an empty tmpfs over /dev that holds only null, zero,
// full, random, urandom, tty and fuse, as the host has them. Needs root and a
// single-threaded process. Returns "" on success or why it could not, for
// GTEST_SKIP().
std::string enterPrivateDev();

} // namespace zelk::test

#endif
