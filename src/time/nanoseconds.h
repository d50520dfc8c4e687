// Conversions between zelkTime (nanoseconds) and the system's timespec, used
// by the sleep and by the timer service.
#ifndef ZELK_TIME_NANOSECONDS_H
#define ZELK_TIME_NANOSECONDS_H

#include <cstdint>
#include <ctime>
#include <limits>

#include "zelk.h"

namespace zelk::detail {

inline constexpr uint64_t kNsPerSecond = 1'000'000'000;

// Splits t into seconds and nanoseconds. Returns false, leaving *out alone,
// when the seconds do not fit time_t (32 bits on i686, about 68 years).
inline bool toTimespec(zelkTime t, timespec *out)
{
    const uint64_t seconds = t / kNsPerSecond;
    if (seconds > static_cast<uint64_t>(std::numeric_limits<time_t>::max()))
        return false;
    out->tv_sec = static_cast<time_t>(seconds);
    out->tv_nsec = static_cast<long>(t % kNsPerSecond);
    return true;
}

// Joins seconds and nanoseconds, which the kernel gives as non-negative.
inline zelkTime fromTimespec(const timespec &ts)
{
    return static_cast<zelkTime>(static_cast<int64_t>(ts.tv_sec) *
                                     static_cast<int64_t>(kNsPerSecond) +
                                 ts.tv_nsec);
}

} // namespace zelk::detail

#endif
