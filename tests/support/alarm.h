// A periodic SIGALRM with a counting handler, for tests that check that a
// blocking call outlasts interruptions by signal handlers.
#ifndef ZELK_TESTS_SUPPORT_ALARM_H
#define ZELK_TESTS_SUPPORT_ALARM_H

namespace zelk::test {

// Installs a SIGALRM handler without SA_RESTART (so that blocking calls see
// EINTR) and starts a real-time interval timer that fires it every
// intervalUs microseconds, until destruction. One at a time per process.
class PeriodicAlarm {
public:
    explicit PeriodicAlarm(long intervalUs);
    ~PeriodicAlarm();
    PeriodicAlarm(const PeriodicAlarm &) = delete;
    PeriodicAlarm &operator=(const PeriodicAlarm &) = delete;

    // How many times the handler has run.
    int count() const;
};

} // namespace zelk::test

#endif
