/*
 * zelk_demo - a tour of libzelk: library information, logging to the console
 * and a file, the clock and sleep, threads and event flags, timers, message
 * passing between a server and a client process through the zelkd driver
 * (scripts/demo.sh starts it), a record converted between byte orders, and
 * sysCal tasks cooperating through an event and a semaphore.
 *
 * Usage: zelk_demo [--log FILE]
 */
#include "demo.h"

#include <stdio.h>
#include <string.h>

static void usage(FILE *out)
{
    fputs("usage: zelk_demo [--log FILE]\n"
          "Shows libzelk at work: its version, logging to the console and a\n"
          "file (by default a temporary one, removed afterwards), the clock\n"
          "and sleep, named\n"
          "threads with their marker files, event flags, one-shot and\n"
          "periodic timers, message passing through the zelkd driver,\n"
          "byte-order conversion and sysCal tasks.\n",
          out);
}

int main(int argc, char **argv)
{
    const char *logPath = NULL; /* a temporary file */
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
    zelkLog(0, "== threads ==\n");
    showThreads();
    zelkLog(0, "== event flags ==\n");
    showEventFlags();
    zelkLog(0, "== timers ==\n");
    showTimers();
    zelkLog(0, "== message passing ==\n");
    showMessages();
    zelkLog(0, "== byte order ==\n");
    showConversion();
    zelkLog(0, "== sysCal tasks ==\n");
    showTasks();
    return 0;
}

