// Waiting until other threads of the process are blocked: for tests that
// must act while a thread waits in a call, not while it is on its way there.
#ifndef ZELK_TESTS_SUPPORT_BLOCKED_H
#define ZELK_TESTS_SUPPORT_BLOCKED_H

#include <atomic>
#include <vector>

namespace zelk::test {

// Waits until every thread in tids has stored its id and sleeps in the
// kernel on two looks in a row 2 ms apart (a thread that merely passes a
// contended lock on its way is not taken for blocked). False after 10 s.
bool awaitBlocked(const std::vector<std::atomic<int> *> &tids);

} // namespace zelk::test

#endif
