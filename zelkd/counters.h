// zelkd's counters since start: requests by kind, bytes moved, errors by
// number and the round-trip times of answered sends. Updated with relaxed
// atomics on the request path and read at any time without a lock.
#ifndef ZELKD_COUNTERS_H
#define ZELKD_COUNTERS_H

#include <atomic>
#include <bit>
#include <cstdint>

namespace zelkd {

struct Counters {
    // Request kinds in the order of requestKinds[]; the last is "unknown".
    static constexpr int kKinds = 9;
    // Errors 1..kErrors-1 by number; everything larger counts at 0.
    static constexpr int kErrors = 134;
    // Round trips by duration: bucket i holds those below 2^i microseconds
    // (and at least 2^(i-1)); the last holds everything longer.
    static constexpr int kBuckets = 32;

    std::atomic<uint64_t> requests[kKinds] = {};
    std::atomic<uint64_t> bytes{0}; // message and reply data copied
    std::atomic<uint64_t> errors[kErrors] = {};
    std::atomic<uint64_t> roundTrip[kBuckets] = {};

    static void add(std::atomic<uint64_t> &counter, uint64_t n = 1)
    {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
    void error(int err) { add(errors[err > 0 && err < kErrors ? err : 0]); }
    void trip(int64_t ns)
    {
        const uint64_t us = ns > 0 ? static_cast<uint64_t>(ns) / 1000 : 0;
        const int bucket = static_cast<int>(std::bit_width(us));
        add(roundTrip[bucket < kBuckets ? bucket : kBuckets - 1]);
    }
};

// The names of the request kinds, as counted and shown.
inline constexpr const char *requestKinds[Counters::kKinds] = {
    "create", "destroy", "receive", "reply",  "attach",
    "detach", "send",    "probe",   "unknown"};

} // namespace zelkd

#endif
