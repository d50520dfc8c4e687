/* Threads at several priorities with their marker files, and event flags. */
#include "demo.h"

#include <dirent.h>
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

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

void showThreads(void)
{
    if (getuid() != 0)
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

void showEventFlags(void)
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
