// The record copy against what a user would otherwise write: memcpy of the
// same bytes (plain mode) and a naive loop over the descriptor that moves
// one byte at a time (both modes). Three 4 KiB records: mixed fields of
// up to 32 bytes, small mixed fields as in typical message headers (1005 of
// them), and 4-byte fields only.
#include "zelk.h"

#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

constexpr size_t kRecord = 4096;

// A cycle of field sizes repeated to fill the record, the last field cut to
// fit.
std::string cycleLayout(const std::string &cycle)
{
    std::string layout;
    size_t size = 0;
    while (size < kRecord) {
        const char n = cycle[layout.size() % cycle.size()];
        const size_t take = std::min(kRecord - size, static_cast<size_t>(n));
        layout += static_cast<char>(take);
        size += take;
    }
    return layout;
}

// Integers of 1, 2, 4 and 8 bytes, odd-sized padding and text fields.
std::string mixedLayout()
{
    return cycleLayout(
        {4, 2, 2, 8, 1, 3, 4, 8, 16, 1, 1, 2, 4, 8, 5, 7, 12, 32});
}

// Mostly small integers, a few short padding and text fields: 1005 entries.
std::string smallLayout()
{
    return cycleLayout({4, 4, 2, 2, 8, 1, 1, 4, 8, 3, 16, 2, 1, 1});
}

std::string wordLayout()
{
    return std::string(kRecord / 4, '\4');
}

void naiveCopy(const unsigned char *src, unsigned char *dst, const char *layout,
               bool swap)
{
    for (; *layout != 0; ++layout) {
        const int n = *layout;
        for (int k = 0; k < n; ++k)
            dst[k] = swap ? src[n - 1 - k] : src[k];
        src += n;
        dst += n;
    }
}

enum class Way { library, memcpy, naive };

void run(benchmark::State &state, const std::string &layout, bool swap, Way way)
{
    std::vector<unsigned char> src(kRecord), dst(kRecord);
    for (size_t i = 0; i < kRecord; ++i)
        src[i] = static_cast<unsigned char>(i * 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(src.data());
        switch (way) {
        case Way::library:
            zelkObjectCopy(src.data(), dst.data(), layout.c_str(), swap);
            break;
        case Way::memcpy:
            std::memcpy(dst.data(), src.data(), kRecord);
            break;
        case Way::naive:
            naiveCopy(src.data(), dst.data(), layout.c_str(), swap);
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kRecord));
}

const std::string mixed = mixedLayout();
const std::string small = smallLayout();
const std::string words = wordLayout();

BENCHMARK_CAPTURE(run, mixed_memcpy, mixed, false, Way::memcpy);
BENCHMARK_CAPTURE(run, mixed_plain_zelkObjectCopy, mixed, false, Way::library);
BENCHMARK_CAPTURE(run, mixed_plain_naive, mixed, false, Way::naive);
BENCHMARK_CAPTURE(run, mixed_reverse_zelkObjectCopy, mixed, true, Way::library);
BENCHMARK_CAPTURE(run, mixed_reverse_naive, mixed, true, Way::naive);
BENCHMARK_CAPTURE(run, small_memcpy, small, false, Way::memcpy);
BENCHMARK_CAPTURE(run, small_plain_zelkObjectCopy, small, false, Way::library);
BENCHMARK_CAPTURE(run, small_reverse_zelkObjectCopy, small, true, Way::library);
BENCHMARK_CAPTURE(run, small_reverse_naive, small, true, Way::naive);
BENCHMARK_CAPTURE(run, words_memcpy, words, false, Way::memcpy);
BENCHMARK_CAPTURE(run, words_plain_zelkObjectCopy, words, false, Way::library);
BENCHMARK_CAPTURE(run, words_plain_naive, words, false, Way::naive);
BENCHMARK_CAPTURE(run, words_reverse_zelkObjectCopy, words, true, Way::library);
BENCHMARK_CAPTURE(run, words_reverse_naive, words, true, Way::naive);

} // namespace
