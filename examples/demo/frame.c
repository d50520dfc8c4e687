/* The library frame: version information, logging, the clock. */
#include "demo.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

void showInfo(void)
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

/* Logs to the console and a file, then shows what the file holds. Without
 * a path the file is a temporary one, removed afterwards. */
void showLogging(const char *logPath)
{
    char temporary[] = "/tmp/zelk-demo-XXXXXX";
    if (logPath == NULL) {
        const int fd = mkstemp(temporary);
        if (fd < 0) {
            zelkLog(0, "cannot create a log file: %s\n", strerror(errno));
            return;
        }
        close(fd);
        logPath = temporary;
    } else {
        remove(logPath); /* the file is appended to: start afresh */
    }
    if (zelkLogConfig(ZELK_LOG_TO_FILE, logPath) != 0) {
        zelkLog(0, "cannot open log file %s: %s\n", logPath, strerror(errno));
        return;
    }
    zelkLogMaskSet(0x3);
    zelkLog(0x1, "level 0x1 passes mask 0x3: console and %s\n", logPath);
    zelkLog(0x4, "level 0x4 is filtered out: nobody sees this\n");
    zelkLog(0x2, "level 0x2 passes too\n");
    zelkLogConfig(ZELK_LOG_TO_FILE, NULL);
    zelkLog(0, "log file closed; it holds:\n");
    FILE *file = fopen(logPath, "r");
    char line[256];
    while (file != NULL && fgets(line, sizeof line, file) != NULL)
        zelkLog(0, "  | %s", line);
    if (file != NULL)
        fclose(file);
    if (logPath == temporary)
        remove(temporary);
}

void showClock(void)
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
