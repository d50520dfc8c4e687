// Timer service against what an application would otherwise write:
// - latency: one 1 kHz periodic timer against a clock_nanosleep(TIMER_ABSTIME)
//   loop on a thread of its own, both lateness-measured the same way, both at
//   the same real-time priority when run as root;
// - scale: 200 timers at 1 kHz each against 200 such loops, with the
//   process's CPU time.
// After the runs it prints a histogram of all lateness samples and, when
// gnuplot is installed, plots it to timer_latency.png.
//
// Options besides Google Benchmark's: --seconds=N (latency run length, 10),
// --scale-seconds=N (5), --out=DIR (where the histogram files go, ".").
#include "zelk.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

constexpr zelkTime kPeriod = 1'000'000; // 1 kHz
constexpr int kRtPriority = 50;         // SCHED_RR, when root
constexpr int kScaleTimers = 200;

int latencySeconds = 10;
int scaleSeconds = 5;
std::string outDir = ".";

zelkTime readClock(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<zelkTime>(now.tv_sec) * 1'000'000'000u +
           static_cast<zelkTime>(now.tv_nsec);
}

zelkTime monotonicNow()
{
    return readClock(CLOCK_MONOTONIC);
}

zelkTime cpuNow()
{
    return readClock(CLOCK_PROCESS_CPUTIME_ID);
}

// The baseline's wait: an absolute sleep on the monotonic clock.
void sleepUntil(zelkTime due)
{
    const timespec at{static_cast<time_t>(due / 1'000'000'000u),
                      static_cast<long>(due % 1'000'000'000u)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
    }
}

// Lateness of a periodic activity whose expiries are start + k * period.
// A wake-up serves the oldest expiry not yet served, and expiries that passed
// meanwhile count as missed (a periodic timer merges them). A wake-up that
// comes before the oldest unserved expiry serves one of those counted as
// missed, since its own signal was already on its way: it is un-missed.
class Lateness {
public:
    void reset(zelkTime start, size_t capacity)
    {
        start_ = start;
        next_ = 1;
        missed_ = 0;
        early_ = 0;
        samples_.clear();
        samples_.reserve(capacity);
    }
    zelkTime nextExpiry() const { return start_ + next_ * kPeriod; }
    void record(zelkTime now)
    {
        const zelkTime passed = now > start_ ? (now - start_) / kPeriod : 0;
        zelkTime late = 0;
        if (now >= nextExpiry()) {
            late = now - nextExpiry();
            missed_ += passed - next_;
            next_ = passed + 1;
        } else if (missed_ > 0 && passed > 0) {
            late = now - (start_ + passed * kPeriod);
            --missed_;
        } else {
            ++early_;
        }
        if (samples_.size() < samples_.capacity())
            samples_.push_back(late);
    }
    std::vector<zelkTime> &samples() { return samples_; }
    zelkTime missed() const { return missed_; }
    // Wake-ups before any unserved expiry: never for a correct timer.
    zelkTime early() const { return early_; }

private:
    zelkTime start_ = 0;
    zelkTime next_ = 1;
    zelkTime missed_ = 0;
    zelkTime early_ = 0;
    std::vector<zelkTime> samples_;
};

std::vector<zelkTime> allTimerSamples;
std::vector<zelkTime> allSleepSamples;

double percentileUs(std::vector<zelkTime> sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    std::sort(sorted.begin(), sorted.end());
    const auto at = static_cast<size_t>(fraction * (sorted.size() - 1));
    return static_cast<double>(sorted[at]) / 1e3;
}

void report(benchmark::State &state, Lateness &lateness,
            std::vector<zelkTime> &keep)
{
    std::vector<zelkTime> &samples = lateness.samples();
    state.counters["p50_us"] = percentileUs(samples, 0.50);
    state.counters["p99_us"] = percentileUs(samples, 0.99);
    state.counters["max_us"] = percentileUs(samples, 1.0);
    state.counters["missed"] = static_cast<double>(lateness.missed());
    state.counters["wakeups"] = static_cast<double>(samples.size());
    state.counters["early"] = static_cast<double>(lateness.early());
    keep.insert(keep.end(), samples.begin(), samples.end());
}

bool isRoot()
{
    return getuid() == 0;
}

// ---- latency: the library's periodic timer ----

Lateness timerLateness;
std::atomic<bool> timerRunning{false};

void latencyCallback(int, void *)
{
    if (timerRunning.load(std::memory_order_relaxed))
        timerLateness.record(monotonicNow());
}

// Starts the service once, at the benchmarks' real-time priority when root.
bool startTimerService()
{
    zelkThreadAttr attr{-1, 0, 0, nullptr};
    if (isRoot()) {
        attr.priority = kRtPriority;
        attr.flags = ZELK_THREAD_PRIO_NATIVE | ZELK_THREAD_SCHED_STRICT;
    }
    return zelkTimerInit(0, &attr) == 0;
}

void BM_TimerLatency1kHz(benchmark::State &state)
{
    if (!startTimerService()) {
        state.SkipWithError("zelkTimerInit failed");
        return;
    }
    const int id = zelkTimerCreate(latencyCallback, nullptr);
    if (id < 0) {
        state.SkipWithError("zelkTimerCreate failed");
        return;
    }
    const zelkTime length = latencySeconds * 1'000'000'000ull;
    for (auto _ : state) {
        const zelkTime start = monotonicNow() + 10 * kPeriod;
        timerLateness.reset(start, length / kPeriod + 16);
        timerRunning = true;
        const zelkTimerSpec setting{timerLateness.nextExpiry(), kPeriod};
        zelkTimerSet(id, TIMER_ABSTIME, &setting, nullptr);
        const zelkTime runFor = length + 10 * kPeriod;
        zelkSleep(&runFor);
        zelkTimerSet(id, 0, nullptr, nullptr); // returns after the callback
        timerRunning = false;
    }
    zelkTimerDelete(id);
    report(state, timerLateness, allTimerSamples);
}

// ---- latency: a clock_nanosleep loop on its own thread ----

struct SleepLoop {
    Lateness lateness;
    zelkTime end = 0;
};

void *sleepLoop(void *arg)
{
    auto *loop = static_cast<SleepLoop *>(arg);
    for (;;) {
        const zelkTime due = loop->lateness.nextExpiry();
        if (due >= loop->end)
            return nullptr;
        sleepUntil(due);
        loop->lateness.record(monotonicNow());
    }
}

// A joinable thread running sleepLoop, at the real-time priority when root.
bool startSleepLoop(pthread_t *thread, SleepLoop *loop)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (isRoot()) {
        const sched_param param{kRtPriority};
        pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&attr, SCHED_RR);
        pthread_attr_setschedparam(&attr, &param);
    }
    const int rc = pthread_create(thread, &attr, sleepLoop, loop);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

void BM_ClockNanosleepLatency1kHz(benchmark::State &state)
{
    const zelkTime length = latencySeconds * 1'000'000'000ull;
    SleepLoop loop;
    for (auto _ : state) {
        const zelkTime start = monotonicNow() + 10 * kPeriod;
        loop.lateness.reset(start, length / kPeriod + 16);
        loop.end = start + length + kPeriod / 2;
        pthread_t thread;
        if (!startSleepLoop(&thread, &loop)) {
            state.SkipWithError("pthread_create failed");
            return;
        }
        pthread_join(thread, nullptr);
    }
    report(state, loop.lateness, allSleepSamples);
}

// ---- scale: 200 timers against 200 sleeping threads ----

std::atomic<long> scaleCalls{0};

void countingCallback(int, void *)
{
    scaleCalls.fetch_add(1, std::memory_order_relaxed);
}

void reportScale(benchmark::State &state, long calls, zelkTime cpu)
{
    state.counters["calls_per_s"] = static_cast<double>(calls) / scaleSeconds;
    state.counters["expected_per_s"] = kScaleTimers * 1e9 / kPeriod;
    state.counters["cpu_percent"] =
        100.0 * static_cast<double>(cpu) / (scaleSeconds * 1e9);
}

void BM_Timers200At1kHz(benchmark::State &state)
{
    if (!startTimerService()) {
        state.SkipWithError("zelkTimerInit failed");
        return;
    }
    int ids[kScaleTimers];
    for (int &id : ids) {
        id = zelkTimerCreate(countingCallback, nullptr);
        if (id < 0) {
            state.SkipWithError("zelkTimerCreate failed");
            return;
        }
    }
    long calls = 0;
    zelkTime cpu = 0;
    for (auto _ : state) {
        const zelkTimerSpec setting{kPeriod, kPeriod};
        for (const int id : ids)
            zelkTimerSet(id, 0, &setting, nullptr);
        scaleCalls = 0;
        const zelkTime cpuStart = cpuNow();
        const zelkTime runFor = scaleSeconds * 1'000'000'000ull;
        zelkSleep(&runFor);
        calls = scaleCalls;
        cpu = cpuNow() - cpuStart;
        for (const int id : ids)
            zelkTimerSet(id, 0, nullptr, nullptr);
    }
    for (const int id : ids)
        zelkTimerDelete(id);
    reportScale(state, calls, cpu);
}

struct CountingLoop {
    zelkTime end = 0;
};

void *countingLoop(void *arg)
{
    const auto *loop = static_cast<CountingLoop *>(arg);
    zelkTime due = monotonicNow();
    for (;;) {
        due += kPeriod;
        if (due >= loop->end)
            return nullptr;
        sleepUntil(due);
        scaleCalls.fetch_add(1, std::memory_order_relaxed);
        // Like a periodic timer, skip expiries that passed meanwhile.
        const zelkTime now = monotonicNow();
        if (now > due + kPeriod)
            due += (now - due) / kPeriod * kPeriod;
    }
}

void BM_ClockNanosleep200Threads(benchmark::State &state)
{
    long calls = 0;
    zelkTime cpu = 0;
    for (auto _ : state) {
        CountingLoop loop;
        loop.end = monotonicNow() + scaleSeconds * 1'000'000'000ull;
        scaleCalls = 0;
        const zelkTime cpuStart = cpuNow();
        std::vector<pthread_t> threads(kScaleTimers);
        for (pthread_t &thread : threads)
            pthread_create(&thread, nullptr, countingLoop, &loop);
        for (pthread_t &thread : threads)
            pthread_join(thread, nullptr);
        calls = scaleCalls;
        cpu = cpuNow() - cpuStart;
    }
    reportScale(state, calls, cpu);
}

// ---- histogram of every latency sample ----

void writeHistogram()
{
    if (allTimerSamples.empty() && allSleepSamples.empty())
        return;
    const zelkTime edgesUs[] = {10, 20,  30,  40,  50,  60,
                                80, 100, 150, 200, 500, 1000};
    constexpr size_t kBuckets = sizeof edgesUs / sizeof edgesUs[0] + 1;
    auto bucketOf = [&](zelkTime ns) {
        size_t b = 0;
        while (b + 1 < kBuckets && ns >= edgesUs[b] * 1000)
            ++b;
        return b;
    };
    size_t timer[kBuckets] = {};
    size_t sleep[kBuckets] = {};
    for (const zelkTime ns : allTimerSamples)
        ++timer[bucketOf(ns)];
    for (const zelkTime ns : allSleepSamples)
        ++sleep[bucketOf(ns)];

    const std::string dataPath = outDir + "/timer_latency.dat";
    FILE *data = fopen(dataPath.c_str(), "w");
    printf("\nLateness of 1 kHz wake-ups (all runs): share of wake-ups\n");
    printf("%-14s %12s %16s\n", "lateness", "zelk timer", "clock_nanosleep");
    for (size_t b = 0; b < kBuckets; ++b) {
        char label[32];
        if (b + 1 < kBuckets)
            snprintf(label, sizeof label, "< %llu us",
                     static_cast<unsigned long long>(edgesUs[b]));
        else
            snprintf(label, sizeof label, ">= %llu us",
                     static_cast<unsigned long long>(edgesUs[b - 1]));
        const double t = allTimerSamples.empty()
                             ? 0
                             : 100.0 * timer[b] / allTimerSamples.size();
        const double s = allSleepSamples.empty()
                             ? 0
                             : 100.0 * sleep[b] / allSleepSamples.size();
        printf("%-14s %11.3f%% %15.3f%%\n", label, t, s);
        if (data != nullptr)
            fprintf(data, "\"%s\" %.4f %.4f\n", label, t, s);
    }
    if (data == nullptr)
        return;
    fclose(data);

    if (system("command -v gnuplot >/dev/null 2>&1") != 0) {
        printf("gnuplot not installed: no plot (data in %s)\n",
               dataPath.c_str());
        return;
    }
    const std::string pngPath = outDir + "/timer_latency.png";
    FILE *plot = popen("gnuplot", "w");
    if (plot == nullptr)
        return;
    fprintf(plot,
            "set terminal png size 900,500 noenhanced\n"
            "set output '%s'\n"
            "set title 'Lateness of 1 kHz wake-ups'\n"
            "set ylabel 'share of wake-ups (%%)'\n"
            "set logscale y\nset yrange [0.001:100]\n"
            "set style data histograms\nset style fill solid 0.8 border -1\n"
            "set xtics rotate by -30\n"
            "plot '%s' using 2:xtic(1) title 'zelk timer', "
            "'' using 3 title 'clock_nanosleep loop'\n",
            pngPath.c_str(), dataPath.c_str());
    if (pclose(plot) == 0)
        printf("plot written to %s\n", pngPath.c_str());
}

// Takes this program's own options out of argv.
void parseOwnOptions(int &argc, char **argv)
{
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--seconds=", 10) == 0)
            latencySeconds = std::max(1, atoi(argv[i] + 10));
        else if (strncmp(argv[i], "--scale-seconds=", 16) == 0)
            scaleSeconds = std::max(1, atoi(argv[i] + 16));
        else if (strncmp(argv[i], "--out=", 6) == 0)
            outDir = argv[i] + 6;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
}

} // namespace

BENCHMARK(BM_TimerLatency1kHz)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_ClockNanosleepLatency1kHz)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Timers200At1kHz)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_ClockNanosleep200Threads)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char **argv)
{
    parseOwnOptions(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    printf("latency runs %d s, scale runs %d s, %s\n", latencySeconds,
           scaleSeconds,
           isRoot() ? "real-time priority SCHED_RR 50"
                    : "normal priority (not root)");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    writeHistogram();
    return 0;
}
