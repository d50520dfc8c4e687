/* Timers: one-shot and periodic, re-armed and deleted. */
#include "demo.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

/* Timer callbacks run on the library's timer worker thread; the counts are
 * read by main() as well, so they sit under a mutex. */
static pthread_mutex_t tickLock = PTHREAD_MUTEX_INITIALIZER;
static int ticks;
static zelkTime timersStart;

static double msSinceTimersStart(void)
{
    zelkTime now = 0;
    zelkTimeGet(&now);
    return (double)(now - timersStart) / 1e6;
}

static void oneShotFired(int id, void *userArg)
{
    zelkLog(0, "  %7.1f ms  one-shot timer %d (\"%s\") fired\n",
            msSinceTimersStart(), id, (const char *)userArg);
}

static void periodicTick(int id, void *userArg)
{
    (void)userArg;
    zelkMutexLock(&tickLock);
    const int n = ++ticks;
    zelkMutexUnlock(&tickLock);
    zelkLog(0, "  %7.1f ms  periodic timer %d, tick %d\n", msSinceTimersStart(),
            id, n);
}

static int tickCount(void)
{
    zelkMutexLock(&tickLock);
    const int n = ticks;
    zelkMutexUnlock(&tickLock);
    return n;
}

static void pauseMs(unsigned ms)
{
    const zelkTime duration = (zelkTime)ms * 1000000u;
    zelkSleep(&duration);
}

void showTimers(void)
{
    zelkTimeGet(&timersStart);
    const int once = zelkTimerCreate(oneShotFired, "alarm");
    const int periodic = zelkTimerCreate(periodicTick, NULL);
    if (once < 0 || periodic < 0) {
        zelkLog(0, "zelkTimerCreate failed: %s\n", strerror(errno));
        return;
    }
    const zelkTimerSpec oneShot = {250000000u, 0};
    const zelkTimerSpec every100 = {100000000u, 100000000u};
    zelkTimerSet(once, 0, &oneShot, NULL);
    zelkTimerSet(periodic, 0, &every100, NULL);
    zelkLog(0, "timers %d (one-shot, 250 ms) and %d (every 100 ms) armed\n",
            once, periodic);
    pauseMs(360);

    /* Re-arm both: the periodic one faster, the one-shot once more. */
    const zelkTimerSpec every40 = {40000000u, 40000000u};
    zelkTimerSpec previous;
    zelkTimerSet(periodic, 0, &every40, &previous);
    zelkLog(0,
            "periodic timer re-armed every 40 ms (its old setting had "
            "%.1f ms left of a %.0f ms interval), one-shot for 100 ms\n",
            (double)previous.value / 1e6, (double)previous.interval / 1e6);
    const zelkTimerSpec again = {100000000u, 0};
    zelkTimerSet(once, 0, &again, NULL);
    pauseMs(170);

    zelkTimerSpec now;
    if (zelkTimerGet(periodic, &now) == 0)
        zelkLog(0, "periodic timer: next tick in %.1f ms\n",
                (double)now.value / 1e6);
    zelkTimerDelete(once);
    zelkTimerDelete(periodic);
    const int ticksAtDelete = tickCount();
    pauseMs(150);
    zelkLog(0, "both timers deleted after %d ticks; %d ticks came later\n",
            ticksAtDelete, tickCount() - ticksAtDelete);
}
