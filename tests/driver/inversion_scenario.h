// The textbook priority inversion through zelkd, on one CPU: a server thread
// at a low real-time priority waits in receive, a client at a high one
// sends to it, and a thread of middling priority starts spinning just as
// the client sends. Shared by the priority test and its benchmark.
#ifndef ZELK_TESTS_DRIVER_INVERSION_SCENARIO_H
#define ZELK_TESTS_DRIVER_INVERSION_SCENARIO_H

#include <chrono>
#include <functional>
#include <string>

#include <pthread.h>
#include <sched.h>
#include <sys/types.h>

namespace zelk::test {

inline constexpr int kServerPriority = 10;
inline constexpr int kSpinnerPriority = 50;
inline constexpr int kClientPriority = 80;

// A thread's scheduling policy (with SCHED_RESET_ON_FORK) and priority.
struct ThreadPriority {
    int policy = -1;
    int priority = -1;
    bool operator==(const ThreadPriority &) const = default;
};

ThreadPriority currentPriority(); // of the calling thread

// Starts body on a thread of its own under SCHED_FIFO at priority. Returns
// 0 or the error number of pthread_create (EPERM without the privilege).
int startFifoThread(pthread_t &thread, int priority,
                    const std::function<void()> &body);

// Pins every thread of process pid to cpus. "" or why not.
std::string pinProcess(pid_t pid, const cpu_set_t &cpus);

struct InversionResult {
    std::string error; // "" when the scenario ran
    std::chrono::nanoseconds roundTrip{};
    ThreadPriority serverBefore, serverServing, serverAfter;
};

// Runs the scenario once against the zelkd whose pid is given (it serves
// /dev/zelk), with the spinner spinning for spin. This process's threads
// and zelkd's are pinned to one CPU for the time, then let go again.
InversionResult runInversion(pid_t zelkd, std::chrono::milliseconds spin);

} // namespace zelk::test

#endif
