// sysCal delay and millisecond clock, straight on the C library. The caller's
// errno is kept: nanosleep and gettimeofday report through it, the layer
// does not.
#include "zelk.h"

#include <cerrno>
#include <ctime>

#include <sys/time.h>

#include "common/status.h"
#include "compat/millis.h"

int32_t sysCalTaskDelay(int32_t milliseconds)
{
    const zelk::detail::ErrnoSaver keepErrno;
    // C++ division truncates toward zero, so a negative delay gives negative
    // fields, which nanosleep refuses: the call then returns at once.
    timespec request;
    request.tv_sec = milliseconds / 1000;
    request.tv_nsec = static_cast<long>(milliseconds % 1000) * 1'000'000;
    timespec remainder;
    // A signal handler interrupts the sleep; the time still left is slept
    // at once, so the caller never wakes early.
    while (nanosleep(&request, &remainder) != 0 && errno == EINTR)
        request = remainder;
    return 0;
}

uint32_t sysCalTime(void)
{
    const zelk::detail::ErrnoSaver keepErrno;
    timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return 0xFFFFFFFFu;
    return zelk::detail::millisModulo(now.tv_sec, now.tv_usec);
}
