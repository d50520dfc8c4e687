// The millisecond clock's arithmetic, apart so that it can be checked at
// instants other than now.
#ifndef ZELK_COMPAT_MILLIS_H
#define ZELK_COMPAT_MILLIS_H

#include <cstdint>

namespace zelk::detail {

// Whole milliseconds in seconds + microseconds since the epoch, modulo 2^32.
// Computed in 64 bits: a 32-bit time_t times 1000 overflows.
inline uint32_t millisModulo(int64_t seconds, int64_t microseconds)
{
    return static_cast<uint32_t>(static_cast<uint64_t>(seconds) * 1000u +
                                 static_cast<uint64_t>(microseconds / 1000));
}

} // namespace zelk::detail

#endif
