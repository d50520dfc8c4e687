// Message passing through zelkd beside a Unix socketpair: the round trip of
// a 64-byte request and 64-byte reply between two processes, and the transfer
// of 1 MiB messages (each answered by an empty reply, as a 1-byte
// acknowledgement on the socketpair). Each iteration runs one zelkd round and
// then one socketpair round, timed apart, so that both see the same load; each
// repetition (5 unless --benchmark_repetitions says otherwise) gives one ratio
// of medians, and the summary shows their range. --pin=CPU puts the client,
// the servers and zelkd on that one CPU. Needs root: it starts its own zelkd
// in a private mount namespace, this build's or the program named by
// ZELK_BENCH_ZELKD (to set another build of zelkd beside this one).
#include "zelk.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <csignal>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/zelkd_fixture.h"

namespace {

constexpr size_t kSmall = 64;
constexpr size_t kLarge = 1u << 20;

using Clock = std::chrono::steady_clock;

// The nanoseconds of each round, per repetition, by name.
std::map<std::string, std::vector<std::vector<double>>> rounds;

// Untimed rounds before each repetition: the servers' and zelkd's buffers are
// faulted in and the processes have run recently on their CPUs.
constexpr int kWarmUp = 50;

int zelkdChannels[2] = {-1, -1}; // small, large: attached connections
int sockets[2] = {-1, -1};       // small, large: the client's ends

bool readFully(int fd, void *buffer, size_t size)
{
    auto *p = static_cast<char *>(buffer);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool writeFully(int fd, const void *buffer, size_t size)
{
    const auto *p = static_cast<const char *>(buffer);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Server processes: echo 64-byte messages, take 1 MiB ones with an empty
// reply. They end when their channel or socket goes.
void serveChannel(const char *name, size_t size)
{
    const int channel = zelkChannelCreate(name);
    std::vector<char> buffer(size);
    for (;;) {
        const int id = zelkMsgReceive(channel, buffer.data(), size, nullptr);
        if (id < 0)
            _exit(0); // zelkd stopped
        zelkMsgReply(id, 0, buffer.data(), size == kSmall ? size : 0);
    }
}

void serveSocket(int fd, size_t size)
{
    std::vector<char> buffer(size);
    while (readFully(fd, buffer.data(), size) &&
           writeFully(fd, buffer.data(), size == kSmall ? size : 1)) {
    }
    _exit(0);
}

pid_t spawn(const std::function<void()> &body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        body();
        _exit(0);
    }
    return pid;
}

// Runs ours and base alternately, kWarmUp times untimed and then once per
// iteration each, and keeps both series of round times.
template <typename Ours, typename Base>
void timeInterleaved(benchmark::State &state, const std::string &name,
                     size_t bytes, Ours ours, Base base)
{
    for (int i = 0; i < kWarmUp; ++i) {
        if (!ours() || !base()) {
            state.SkipWithError("a warm-up round failed");
            return;
        }
    }
    std::vector<double> a;
    std::vector<double> b;
    a.reserve(state.max_iterations);
    b.reserve(state.max_iterations);
    auto timed = [](auto &round, std::vector<double> &samples) {
        const auto start = Clock::now();
        const bool ok = round();
        samples.push_back(
            std::chrono::duration<double, std::nano>(Clock::now() - start)
                .count());
        return ok;
    };
    for (auto _ : state) {
        if (!timed(ours, a) || !timed(base, b)) {
            state.SkipWithError("a round failed");
            return;
        }
    }
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * bytes * 2));
    rounds["zelkd" + name].push_back(std::move(a));
    rounds["socket" + name].push_back(std::move(b));
}

void BM_RoundTrip64(benchmark::State &state)
{
    char request[kSmall] = {1};
    char reply[kSmall];
    timeInterleaved(
        state, "64", kSmall,
        [&] {
            return zelkMsgSend(zelkdChannels[0], request, kSmall, reply,
                               kSmall) == 0;
        },
        [&] {
            return writeFully(sockets[0], request, kSmall) &&
                   readFully(sockets[0], reply, kSmall);
        });
}

// The argument is the page offset of the client's data: 16 is where a large
// malloc() puts it, 0 a page-aligned buffer. The servers' buffers are
// vectors, at offset 16.
void BM_Send1MiB(benchmark::State &state)
{
    const auto offset = static_cast<size_t>(state.range(0));
    std::vector<char> storage(kLarge + 2 * 4096, 'z');
    const auto base = reinterpret_cast<uintptr_t>(storage.data());
    char *data = storage.data() + ((4096 - base % 4096) % 4096) + offset;
    char ack;
    timeInterleaved(
        state, "1M+" + std::to_string(offset), kLarge,
        [&] {
            return zelkMsgSend(zelkdChannels[1], data, kLarge, nullptr, 0) == 0;
        },
        [&] {
            return writeFully(sockets[1], data, kLarge) &&
                   readFully(sockets[1], &ack, 1);
        });
}

// A fixed number of rounds: every run is a measured one, and the runs of one
// repetition compare alike.
BENCHMARK(BM_RoundTrip64)->Iterations(10000)->UseRealTime();
BENCHMARK(BM_Send1MiB)->Arg(16)->Arg(0)->Iterations(1000)->UseRealTime();

double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(p * (samples.size() - 1))];
}

void summarize(int pinned)
{
    auto line = [](const char *what, const std::string &name, bool throughput) {
        const auto &ours = rounds["zelkd" + name];
        const auto &base = rounds["socket" + name];
        if (ours.empty() || ours.size() != base.size())
            return;
        std::vector<double> all;
        std::vector<double> allBase;
        double low = 1e300;
        double high = 0;
        for (size_t i = 0; i < ours.size(); ++i) {
            const double m = percentile(ours[i], 0.5);
            const double b = percentile(base[i], 0.5);
            const double ratio = throughput ? b / m : m / b;
            low = std::min(low, ratio);
            high = std::max(high, ratio);
            all.insert(all.end(), ours[i].begin(), ours[i].end());
            allBase.insert(allBase.end(), base[i].begin(), base[i].end());
        }
        printf("%-16s zelkd median %8.1f us p99 %9.1f us | socketpair "
               "median %8.1f us p99 %9.1f us | %s %.2f-%.2f over %zu runs\n",
               what, percentile(all, 0.5) / 1e3, percentile(all, 0.99) / 1e3,
               percentile(allBase, 0.5) / 1e3, percentile(allBase, 0.99) / 1e3,
               throughput ? "throughput ratio" : "time ratio", low, high,
               ours.size());
    };
    if (pinned >= 0)
        printf("\nclient, servers and zelkd pinned to CPU %d\n", pinned);
    else
        printf("\nunpinned\n");
    line("64 B round trip", "64", false);
    line("1 MiB, offset 16", "1M+16", true);
    line("1 MiB, offset 0", "1M+0", true);
}

// Takes --pin=CPU out of the arguments; -1 when absent, -2 when malformed.
int takePin(int &argc, char **argv)
{
    int pin = -1;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--pin=", 6) == 0) {
            char *end = nullptr;
            const long cpu = strtol(argv[i] + 6, &end, 10);
            pin = end != argv[i] + 6 && *end == '\0' && cpu >= 0 &&
                          cpu < CPU_SETSIZE
                      ? static_cast<int>(cpu)
                      : -2;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return pin;
}

} // namespace

int main(int argc, char **argv)
{
    const int pin = takePin(argc, argv);
    if (pin == -2) {
        fprintf(stderr, "driver_bench: --pin takes a CPU number\n");
        return 2;
    }
    if (pin >= 0) {
        // Inherited by zelkd and the servers, which are started below.
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(pin, &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0) {
            perror("driver_bench: sched_setaffinity");
            return 1;
        }
    }
    std::vector<char *> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    if (std::none_of(args.begin(), args.end(), [](const char *arg) {
            return strncmp(arg, "--benchmark_repetitions", 23) == 0;
        }))
        args.push_back(repetitions.data());
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    std::string why = zelk::test::enterDriverSandbox();
    zelk::test::ZelkdProcess zelkd;
    // A launcher that runs the chosen zelkd in place of this build's.
    std::vector<std::string> launcher;
    if (getenv("ZELK_BENCH_ZELKD") != nullptr)
        launcher = {"/bin/sh", "-c", "shift; exec \"$ZELK_BENCH_ZELKD\" \"$@\"",
                    "zelkd"};
    if (why.empty())
        why = zelkd.start("/dev/zelk", {}, launcher);
    if (!why.empty()) {
        fprintf(stderr, "driver_bench: %s\n", why.c_str());
        return 1;
    }

    std::vector<pid_t> servers;
    const char *names[2] = {"bench-small", "bench-large"};
    const size_t sizes[2] = {kSmall, kLarge};
    for (int i = 0; i < 2; ++i) {
        servers.push_back(spawn([&] { serveChannel(names[i], sizes[i]); }));
        int pair[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        servers.push_back(spawn([&] {
            close(pair[0]);
            serveSocket(pair[1], sizes[i]);
        }));
        close(pair[1]);
        sockets[i] = pair[0];
        while ((zelkdChannels[i] = zelkConnectAttach(names[i])) < 0)
            usleep(1000);
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    summarize(pin);

    for (int i = 0; i < 2; ++i) {
        zelkConnectDetach(zelkdChannels[i]);
        close(sockets[i]);
    }
    // Stopping zelkd ends the servers' receives.
    zelkd.stop();
    for (pid_t pid : servers)
        waitpid(pid, nullptr, 0);
    return 0;
}
