// Helpers shared by the timer tests: the monotonic clock, bounded waits,
// a recording callback, and a look at the process's threads.
#ifndef ZELK_TESTS_TIME_TIMER_SUPPORT_H
#define ZELK_TESTS_TIME_TIMER_SUPPORT_H

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "zelk.h"

namespace zelk::test {

inline constexpr zelkTime kMs = 1'000'000;

// CLOCK_MONOTONIC in nanoseconds: the clock the timers run on.
zelkTime monotonicNow();

void sleepNs(zelkTime duration);

// Polls done every millisecond until it holds or timeout passes; returns
// whether it held.
bool waitUntil(const std::function<bool()> &done, zelkTime timeout);

// What a timer's callback saw; hand its address to zelkTimerCreate.
struct CallbackLog {
    std::atomic<int> calls{0};
    std::atomic<int> lastId{-1};
    std::atomic<int> lastTid{0};
    std::atomic<zelkTime> firstCallAt{0};
    std::atomic<zelkTime> lastCallAt{0};
    // Run inside the callback, on the worker thread, when set.
    std::function<void(int id)> action;
};

// A zelkTimerCallback that records into the CallbackLog its userArg points to.
void recordCall(int id, void *userArg);

// Kernel thread ids of the calling process.
std::vector<int> processThreads();
// The system name of one thread of this process ("" when it is gone).
std::string threadName(int tid);
// How many threads of this process bear the name. The timer worker started
// without attributes is "noname"; sanitizers may add threads of their own.
int threadsNamed(const std::string &name);

// The signal values (sival_ptr) of the process's kernel timers, as the
// kernel lists them; empty when it does not.
std::vector<void *> kernelTimerValues();

} // namespace zelk::test

#endif
