/*
 * zelk_demo - a tour of libzelk: library information, logging to the console
 * and a file, the clock and sleep, and message passing between a server and
 * a client process through the zelkd driver (scripts/demo.sh starts it).
 *
 * Usage: zelk_demo [--log FILE]
 */
#include "zelk.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void usage(FILE *out)
{
    fputs("usage: zelk_demo [--log FILE]\n"
          "Shows libzelk at work: its version, logging to the console and a\n"
          "file (default /tmp/zelk-demo.log), the clock and sleep, and\n"
          "message passing through the zelkd driver.\n",
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

/* The client: three requests on a connection to the "demo" channel. */
static void runClient(void)
{
    const int connection = zelkConnectAttach("demo");
    if (connection < 0) {
        zelkLog(0, "client: attach failed: %s\n", strerror(errno));
        return;
    }
    for (int i = 1; i <= 3; ++i) {
        char request[32];
        char reply[64] = "";
        snprintf(request, sizeof request, "question %d", i);
        const int status = zelkMsgSend(connection, request,
                                       (uint32_t)strlen(request) + 1, reply,
                                       sizeof reply);
        zelkLog(0, "  client %d: got \"%s\", status %d\n", (int)getpid(),
                reply, status);
    }
    zelkConnectDetach(connection);
}

static void showMessages(void)
{
    const int channel = zelkChannelCreate("demo");
    if (channel < 0) {
        zelkLog(0, "no driver (%s): start zelkd, or run scripts/demo.sh\n",
                strerror(errno));
        return;
    }
    fflush(stdout);
    const pid_t client = fork();
    if (client == 0) {
        runClient();
        _exit(0);
    }
    for (int i = 1; i <= 3 && client > 0; ++i) {
        char buffer[64] = "";
        uint32_t size = 0;
        const int receiveId =
            zelkMsgReceive(channel, buffer, sizeof buffer, &size);
        if (receiveId < 0) {
            zelkLog(0, "receive failed: %s\n", strerror(errno));
            break;
        }
        zelkLog(0, "  server %d: \"%s\" (%u bytes), receive id 0x%08x\n",
                (int)getpid(), buffer, size, (unsigned)receiveId);
        char answer[64];
        snprintf(answer, sizeof answer, "answer %d", i);
        zelkMsgReply(receiveId, 100 + i, answer, (uint32_t)strlen(answer) + 1);
    }
    if (client > 0)
        waitpid(client, NULL, 0);
    zelkChannelDestroy(channel);

    const char name[64] = "a thread name";
    const int readable = zelkMemProbe(name, 5, sizeof name, 1);
    const int unmapped = zelkMemProbe((const void *)16, 1, 64, 0);
    zelkLog(0, "memory probe: a local buffer -> %d, address 16 -> %d (%s)\n",
            readable, unmapped, strerror(errno));
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
    zelkLog(0, "== message passing ==\n");
    showMessages();
    return 0;
}
