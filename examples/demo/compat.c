/* The sysCal layer: tasks cooperating through an event and a semaphore. */
#include "demo.h"

#include <pthread.h>

/* sysCal tasks: the main task posts a tick event every 50 ms; each worker
 * waits for its number of ticks, reporting under a semaphore that also
 * guards the shared counters. A tick posted while a worker is busy is not
 * remembered: the worker waits for the next one. */
static sysCalEvent *tick;
static sysCalSem *guard;
static int tickCount; /* guarded by guard */
static int finished;  /* guarded by guard */

static int worker(int32_t number, int32_t ticks, int32_t unused1,
                  int32_t unused2)
{
    (void)unused1;
    (void)unused2;
    for (int32_t seen = 1; seen <= ticks; ++seen) {
        sysCalEventWait(tick);
        sysCalSemTake(guard);
        zelkLog(0, "task %d woke on tick %d (its %d of %d)\n", number,
                tickCount, seen, ticks);
        sysCalSemGive(guard);
    }
    sysCalSemTake(guard);
    ++finished;
    sysCalSemGive(guard);
    return 0;
}

void showTasks(void)
{
    uint16_t version = 0;
    char text[30];
    sysCalGetVersion(&version, text);
    zelkLog(0, "sysCal version 0x%x: %s\n", version, text);

    tick = sysCalEventCreate();
    guard = sysCalSemBCreate();
    if (tick == NULL || guard == NULL) {
        zelkLog(0, "cannot create the event and the semaphore\n");
        return;
    }
    const uint32_t start = sysCalTime();
    sysCalTaskId tasks[3];
    int spawned = 0;
    for (int32_t i = 0; i < 3; ++i) {
        tasks[spawned] = sysCalSp(0, 0, worker, i + 1, i + 1, 0, 0);
        if (tasks[spawned] != 0)
            ++spawned;
    }
    int done = 0;
    while (done < spawned) {
        sysCalTaskDelay(50);
        sysCalSemTake(guard);
        done = finished;
        if (done < spawned)
            ++tickCount;
        sysCalSemGive(guard);
        if (done < spawned)
            sysCalEventPost(tick);
    }
    for (int i = 0; i < spawned; ++i)
        pthread_join((pthread_t)tasks[i], NULL);
    zelkLog(0,
            "%d tasks done after %d ticks posted 50 ms apart (%u ms); a "
            "task needs as many ticks as its number\n",
            spawned, tickCount, (unsigned)(sysCalTime() - start));
    sysCalEventDelete(tick);
    sysCalSemDelete(guard);
}
