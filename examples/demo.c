/*
 * zelk_demo - a tour of libzelk: library information, logging to the console
 * and a file, the clock and sleep, threads and event flags, one-shot and
 * periodic timers, and message passing between a server and a client
 * process through the zelkd driver (scripts/demo.sh starts it).
 *
 * Usage: zelk_demo [--log FILE]
 */
#define _GNU_SOURCE /* pthread_getname_np, and POSIX beside strict C99 */

#include "zelk.h"

#include <dirent.h>
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void usage(FILE *out)
{
    fputs("usage: zelk_demo [--log FILE]\n"
          "Shows libzelk at work: its version, logging to the console and a\n"
          "file (default /tmp/zelk-demo.log), the clock and sleep, named\n"
          "threads at several priorities with their marker files, a\n"
          "producer/consumer pair on event flags, one-shot and periodic\n"
          "timers, and message passing through the zelkd driver.\n",
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

/* ---- threads ---- */

/* Named threads at three priorities. Each reports its scheduling, signals its
 * bit on "ready" and waits for its bit on "go", so that their marker files
 * can be listed while they all run. */
enum { kWorkers = 3 };

typedef struct Worker {
    zelkEvent *ready;
    zelkEvent *go;
    uint32_t bit;
} Worker;

static void *workerEntry(void *arg)
{
    const Worker *worker = (const Worker *)arg;
    int policy = 0;
    struct sched_param param;
    char name[16] = "?";
    pthread_getschedparam(pthread_self(), &policy, &param);
    pthread_getname_np(pthread_self(), name, sizeof name);
    zelkLog(0, "  thread %-15s tid %d runs %s at priority %d\n", name, gettid(),
            policy == SCHED_RR ? "SCHED_RR" : "SCHED_OTHER",
            param.sched_priority);
    zelkEventSignal(worker->ready, worker->bit);
    uint32_t mask = worker->bit;
    zelkEventWait(worker->go, &mask);
    return NULL;
}

/* Counts this process's marker files, listing them when show is set. */
static int listMarkers(int show)
{
    DIR *dir = opendir("/var/run/zelk");
    if (dir == NULL) {
        if (show)
            zelkLog(0, "  (no /var/run/zelk: no marker files)\n");
        return 0;
    }
    char prefix[32];
    snprintf(prefix, sizeof prefix, "pid%d-", (int)getpid());
    int count = 0;
    const struct dirent *entry;
    while ((entry = readdir(dir)) != NULL) {
        if (strncmp(entry->d_name, prefix, strlen(prefix)) != 0)
            continue;
        if (show)
            zelkLog(0, "  marker /var/run/zelk/%s\n", entry->d_name);
        ++count;
    }
    closedir(dir);
    return count;
}

/* Waits until every bit of all is taken from event. */
static void waitAll(zelkEvent *event, uint32_t all)
{
    uint32_t gathered = 0;
    while (gathered != all) {
        uint32_t mask = all & ~gathered;
        if (zelkEventWait(event, &mask) != 0)
            return;
        gathered |= mask;
    }
}

static void showThreads(void)
{
    if (getuid() == 0)
        mkdir("/var/run/zelk", 0755); /* the library never creates it */
    else
        zelkLog(0, "  (not root: SCHED_OTHER for all, and maybe no markers)\n");

    zelkEvent ready, go;
    zelkEventInit(&ready);
    zelkEventInit(&go);
    static const char *const names[kWorkers] = {"demo-low", "demo-middle",
                                                "demo-high-priority"};
    static const int32_t priorities[kWorkers] = {0, 16, 31};
    if (zelkMemProbe(names[0], 5, 64, 1) != 0)
        zelkLog(0, "  (no zelkd driver: names cannot be checked, all are "
                   "noname)\n");
    Worker workers[kWorkers];
    uint32_t started = 0;
    for (int i = 0; i < kWorkers; ++i) {
        workers[i].ready = &ready;
        workers[i].go = &go;
        workers[i].bit = 1u << i;
        const zelkThreadAttr attr = {priorities[i], 0, ZELK_THREAD_NAME_VALID,
                                     names[i]};
        pthread_t thread;
        if (zelkThreadCreate(&thread, &attr, workerEntry, &workers[i]) != 0)
            zelkLog(0, "  zelkThreadCreate(%s): %s\n", names[i],
                    strerror(errno));
        else
            started |= workers[i].bit;
    }
    waitAll(&ready, started);
    zelkLog(0, "  while they run:\n");
    listMarkers(1);
    zelkEventSignal(&go, started);

    /* The threads are detached: give them a moment to finish. */
    const zelkTime pause = 10000000; /* 10 ms */
    for (int tries = 0; tries < 100 && listMarkers(0) > 0; ++tries)
        zelkSleep(&pause);
    zelkLog(0, "  after they ended: %d marker files\n", listMarkers(0));
    zelkEventDestroy(&ready);
    zelkEventDestroy(&go);
}

/* A producer and a consumer pass items through a ring of four slots. Each
 * slot is one bit: the producer takes a slot's bit from "emptied", fills the
 * slot and signals the bit on "filled"; the consumer takes it from "filled",
 * empties the slot and gives the bit back on "emptied". */
enum { kSlots = 4, kItems = 10 };

typedef struct Ring {
    int slots[kSlots];
    zelkEvent filled;
    zelkEvent emptied;
    zelkEvent finished;
} Ring;

static void *producerEntry(void *arg)
{
    Ring *ring = (Ring *)arg;
    for (int item = 1; item <= kItems; ++item) {
        const int slot = (item - 1) % kSlots;
        uint32_t mask = 1u << slot;
        zelkEventWait(&ring->emptied, &mask);
        ring->slots[slot] = item * item;
        zelkLog(0, "  producer: item %2d (%3d) into slot %d\n", item,
                ring->slots[slot], slot);
        zelkEventSignal(&ring->filled, mask);
    }
    zelkEventSignal(&ring->finished, 0x1);
    return NULL;
}

static void *consumerEntry(void *arg)
{
    Ring *ring = (Ring *)arg;
    int sum = 0;
    for (int item = 1; item <= kItems; ++item) {
        const int slot = (item - 1) % kSlots;
        uint32_t mask = 1u << slot;
        zelkEventWait(&ring->filled, &mask);
        sum += ring->slots[slot];
        zelkLog(0, "  consumer: slot %d gave %3d, sum %d\n", slot,
                ring->slots[slot], sum);
        zelkEventSignal(&ring->emptied, mask);
    }
    zelkEventSignal(&ring->finished, 0x2);
    return NULL;
}

static void showEventFlags(void)
{
    Ring ring;
    memset(&ring, 0, sizeof ring);
    zelkEventInit(&ring.filled);
    zelkEventInit(&ring.emptied);
    zelkEventInit(&ring.finished);
    zelkEventSignal(&ring.emptied, (1u << kSlots) - 1); /* all slots free */

    const zelkThreadAttr producer = {-1, 0, ZELK_THREAD_NAME_VALID, "producer"};
    const zelkThreadAttr consumer = {-1, 0, ZELK_THREAD_NAME_VALID, "consumer"};
    pthread_t thread;
    uint32_t running = 0;
    if (zelkThreadCreate(&thread, &consumer, consumerEntry, &ring) == 0)
        running |= 0x2;
    if (zelkThreadCreate(&thread, &producer, producerEntry, &ring) == 0)
        running |= 0x1;
    if (running != 0x3)
        zelkLog(0, "  zelkThreadCreate: %s\n", strerror(errno));
    if (running == 0x3)
        waitAll(&ring.finished, running);
    zelkLog(0,
            "  %d items passed through %d slots; sum of squares 1..%d is "
            "385\n",
            kItems, kSlots, kItems);
    zelkEventDestroy(&ring.filled);
    zelkEventDestroy(&ring.emptied);
    zelkEventDestroy(&ring.finished);
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
    zelkLog(0, "== threads ==\n");
    showThreads();
    zelkLog(0, "== event flags ==\n");
    showEventFlags();
    zelkLog(0, "== timers ==\n");
    showTimers();
    zelkLog(0, "== message passing ==\n");
    showMessages();
    return 0;
}
