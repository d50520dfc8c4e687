// Wall-clock time, sleep and time zone. No state.
#include "zelk.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <sys/time.h>

#include "common/status.h"
#include "time/nanoseconds.h"

using zelk::detail::fail;

int zelkTimeGet(zelkTime *now)
{
    if (now == nullptr)
        return fail(EINVAL);
    timeval tv;
    if (gettimeofday(&tv, nullptr) != 0)
        return -1;
    *now = static_cast<zelkTime>(static_cast<int64_t>(tv.tv_sec) *
                                     1'000'000'000 +
                                 static_cast<int64_t>(tv.tv_usec) * 1'000);
    return 0;
}

int zelkSleep(const zelkTime *duration)
{
    if (duration == nullptr)
        return fail(EINVAL);
    timespec request;
    if (!zelk::detail::toTimespec(*duration, &request))
        return fail(EINVAL);

    // A signal handler interrupts nanosleep; the remainder is slept at once,
    // so the caller never wakes early. errno is the caller's again on success.
    const int callersErrno = errno;
    timespec remainder;
    while (nanosleep(&request, &remainder) != 0) {
        if (errno != EINTR)
            return -1;
        request = remainder;
    }
    errno = callersErrno;
    return 0;
}

int zelkTimezoneSet(const char *zone)
{
    if (zone == nullptr)
        return fail(EINVAL);
    if (setenv("TZ", zone, 1) != 0)
        return fail(ENOMEM);
    tzset();
    return 0;
}
