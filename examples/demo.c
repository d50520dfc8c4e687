/*
 * zelk_demo - a tour of libzelk: library information, logging to the console
 * and a file, the clock and sleep, one-shot and periodic timers.
 *
 * Usage: zelk_demo [--log FILE]
 */
#include "zelk.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static void usage(FILE *out)
{
    fputs("usage: zelk_demo [--log FILE]\n"
          "Shows libzelk at work: its version, logging to the console and a\n"
          "file (default /tmp/zelk-demo.log), the clock and sleep, one-shot\n"
          "and periodic timers.\n",
          out);
}

static void showInfo(void)
{
    zelkInfoBlock info;
    memset(&info, 0, sizeof info);
    if (zelkInfo(&info, (int)sizeof info) != (int)sizeof info) {
        zelkLog(0, "zelkInfo failed: %s\n", strerror(errno));
        return;
    }
    zelkLog(0, "libzelk %x.%x.%x, built %s, kernel thread id %d\n",
            info.version >> 12, (info.version >> 8) & 0xF, info.version & 0xFF,
            info.buildText, gettid());
}

static void showLogging(const char *logPath)
{
    remove(logPath); /* the file is appended to: start the demo's afresh */
    if (zelkLogConfig(ZELK_LOG_TO_FILE, logPath) != 0) {
        zelkLog(0, "cannot open log file %s: %s\n", logPath, strerror(errno));
        return;
    }
    zelkLogMaskSet(0x3);
    zelkLog(0x1, "level 0x1 passes mask 0x3: console and %s\n", logPath);
    zelkLog(0x4, "level 0x4 is filtered out: nobody sees this\n");
    zelkLog(0x2, "level 0x2 passes too\n");
    zelkLogConfig(ZELK_LOG_TO_FILE, NULL);
    zelkLog(0, "log file closed; it now holds the two messages above\n");
}

static void showClock(void)
{
    zelkTime now = 0;
    const zelkTime pause = 250000000; /* 0.25 s */
    zelkTime later = 0;
    if (zelkTimeGet(&now) != 0 || zelkSleep(&pause) != 0 ||
        zelkTimeGet(&later) != 0) {
        zelkLog(0, "clock failed: %s\n", strerror(errno));
        return;
    }
    zelkTimezoneSet("UTC0");
    const time_t seconds = (time_t)(now / 1000000000u);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", localtime(&seconds));
    zelkLog(0, "wall clock: %llu ns since the epoch (%s)\n",
            (unsigned long long)now, text);
    zelkLog(0, "slept 250 ms; the wall clock moved %.3f ms\n",
            (double)(later - now) / 1e6);
}

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

static void showTimers(void)
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

int main(int argc, char **argv)
{
    const char *logPath = "/tmp/zelk-demo.log";
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        }
        if (strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            logPath = argv[++i];
            continue;
        }
        usage(stderr);
        return 2;
    }

    zelkLogConfig(ZELK_LOG_TO_CONSOLE, "on");
    zelkLog(0, "== library ==\n");
    showInfo();
    zelkLog(0, "== logging ==\n");
    showLogging(logPath);
    zelkLog(0, "== time ==\n");
    showClock();
    zelkLog(0, "== timers ==\n");
    showTimers();
    return 0;
}
