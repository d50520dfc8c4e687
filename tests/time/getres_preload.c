/*
 * A test-only preload library: replaces clock_getres so that a test can give
 * the timer service a coarse monotonic clock, or one whose query fails,
 * chosen at run time through ZELK_TEST_CLOCK_GETRES ("coarse": 4 ms,
 * "fail": EINVAL). Without it, or for other clocks, it asks the kernel.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

__attribute__((visibility("default"))) int clock_getres(clockid_t clock,
                                                        struct timespec *res)
{
    const char *mode = getenv("ZELK_TEST_CLOCK_GETRES");
    if (mode != NULL && clock == CLOCK_MONOTONIC) {
        if (strcmp(mode, "coarse") == 0) {
            res->tv_sec = 0;
            res->tv_nsec = 4000000;
            return 0;
        }
        if (strcmp(mode, "fail") == 0) {
            errno = EINVAL;
            return -1;
        }
    }
    return (int)syscall(SYS_clock_getres, clock, res);
}
