// The clock and the log filter against their baselines: a raw gettimeofday,
// and a plain call into the shared library.
#include "zelk.h"

#include <sys/time.h>

#include <benchmark/benchmark.h>

namespace {

void BM_gettimeofday(benchmark::State &state)
{
    timeval tv;
    for (auto _ : state) {
        gettimeofday(&tv, nullptr);
        benchmark::DoNotOptimize(tv);
    }
}
BENCHMARK(BM_gettimeofday);

void BM_zelkTimeGet(benchmark::State &state)
{
    zelkTime now;
    for (auto _ : state) {
        zelkTimeGet(&now);
        benchmark::DoNotOptimize(now);
    }
}
BENCHMARK(BM_zelkTimeGet);

// Baseline for the log filter: the cheapest exported call there is.
void BM_libraryCall(benchmark::State &state)
{
    for (auto _ : state)
        zelkLogMaskSet(0x1);
}
BENCHMARK(BM_libraryCall);

void BM_zelkLogMaskedOut(benchmark::State &state)
{
    zelkLogMaskSet(0x1);
    zelkLogConfig(ZELK_LOG_TO_CONSOLE, "on"); // enabled, but filtered
    for (auto _ : state)
        zelkLog(0x2, "value %d\n", 42);
    zelkLogConfig(ZELK_LOG_TO_CONSOLE, nullptr);
}
BENCHMARK(BM_zelkLogMaskedOut);

void BM_zelkLogNoDestination(benchmark::State &state)
{
    zelkLogMaskSet(0x1);
    for (auto _ : state)
        zelkLog(0x1, "value %d\n", 42);
}
BENCHMARK(BM_zelkLogNoDestination);

} // namespace
