// zelkd's memory probe of an unmapped address in a process with few and
// with 60,000 mappings: one mapping at a time through the maps file's query
// beside the full read of the maps file, in one run. The probed process is
// the benchmark itself; it needs vm.max_map_count above 60,000.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include "memory_access.h"

namespace {

constexpr int kMany = 60000;

char *region = nullptr;

// Maps kMany pages of alternating protection, one mapping each, or
// unmaps them again.
bool setMappings(bool many)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (!many || region != nullptr) {
        if (!many && region != nullptr)
            munmap(region, kMany * page);
        if (!many)
            region = nullptr;
        return true;
    }
    void *at = mmap(nullptr, kMany * page, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED)
        return false;
    region = static_cast<char *>(at);
    for (int i = 1; i < kMany; i += 2)
        if (mprotect(region + i * page, page, PROT_READ) != 0)
            return false;
    return true;
}

// An unmapped address above every mapping but the stack's and those above
// it (vdso, vsyscall): the middle of the gap below the stack, so that the
// full read must go through (nearly) the whole maps file to find it empty.
uint64_t holeBelowStack()
{
    FILE *maps = fopen("/proc/self/maps", "r");
    if (maps == nullptr)
        return 0;
    char line[512];
    unsigned long long lastEnd = 0;
    unsigned long long hole = 0;
    while (fgets(line, sizeof line, maps) != nullptr) {
        unsigned long long start = 0;
        unsigned long long end = 0;
        if (sscanf(line, "%llx-%llx", &start, &end) != 2)
            continue;
        if (strstr(line, "[stack]") != nullptr) {
            hole = (lastEnd + (start - lastEnd) / 2) & ~0xFFFull;
            break;
        }
        lastEnd = end;
    }
    fclose(maps);
    return hole;
}

void probeHole(benchmark::State &state, bool query)
{
    if (!setMappings(state.range(0) != 0)) {
        state.SkipWithError("cannot create 60,000 mappings");
        return;
    }
    const uint64_t hole = holeBelowStack();
    zelkd::ProcessMemory memory(query);
    if (hole == 0 || memory.probe(getpid(), hole, 64, true, false) == 0) {
        state.SkipWithError("no unmapped address below the stack");
        return;
    }
    for (auto _ : state) {
        const int err = memory.probe(getpid(), hole, 64, true, false);
        benchmark::DoNotOptimize(err);
    }
}

void BM_ProbeQuery(benchmark::State &state)
{
    probeHole(state, true);
}

void BM_ProbeFullRead(benchmark::State &state)
{
    probeHole(state, false);
}

} // namespace

// Argument: 0 for the process as it starts, 1 with 60,000 more mappings.
BENCHMARK(BM_ProbeQuery)->Arg(0)->Arg(1);
BENCHMARK(BM_ProbeFullRead)->Arg(0)->Arg(1);
