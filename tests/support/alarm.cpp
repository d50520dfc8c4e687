// Periodic SIGALRM for tests; see alarm.h.
#include "support/alarm.h"

#include <csignal>

#include <gtest/gtest.h>
#include <sys/time.h>

namespace zelk::test {

namespace {

volatile sig_atomic_t alarms = 0;

void onAlarm(int)
{
    alarms = alarms + 1;
}

} // namespace

PeriodicAlarm::PeriodicAlarm(long intervalUs)
{
    alarms = 0;
    struct sigaction action {};
    action.sa_handler = onAlarm;
    EXPECT_EQ(0, sigaction(SIGALRM, &action, nullptr));
    const timeval every{intervalUs / 1'000'000, intervalUs % 1'000'000};
    const itimerval timer{every, every};
    EXPECT_EQ(0, setitimer(ITIMER_REAL, &timer, nullptr));
}

PeriodicAlarm::~PeriodicAlarm()
{
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
}

int PeriodicAlarm::count() const
{
    return alarms;
}

} // namespace zelk::test
