// Running test code in a forked child: for code that changes process-wide
// state (mount namespace, user id) or must run in a fresh process.
#ifndef ZELK_TESTS_SUPPORT_CHILD_H
#define ZELK_TESTS_SUPPORT_CHILD_H

#include <functional>
#include <string>

#include <sys/types.h>

namespace zelk::test {

// Forks and runs body in the child, which ends when the parent does. GoogleTest
// assertions may be used inside body; their messages appear in the output.
// Returns 0 when body returned with no failed assertion, 1 when one failed,
// 128 + n when the child died of signal n. Call it from a single-threaded
// process (each test runs in its own process).
int inChild(const std::function<void()> &body);

// Like inChild, but returns the child's pid at once (or -1); waitChild()
// reaps it and gives the same result as inChild.
pid_t forkChild(const std::function<void()> &body);
int waitChild(pid_t pid);

// Makes the calling process an unprivileged user (uid and gid 65534, no
// supplementary groups). Returns "" on success or why it could not.
std::string dropToUnprivilegedUser();

} // namespace zelk::test

#endif
