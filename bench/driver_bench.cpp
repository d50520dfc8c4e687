// Message passing through zelkd beside a Unix socketpair, in one run: the
// round trip of a 64-byte request and 64-byte reply between two processes,
// and the transfer of 1 MiB messages (each answered by an empty reply, as a
// 1-byte acknowledgement on the socketpair). Every round is timed on its
// own; a summary of medians, 99th percentiles and ratios follows the table.
// Needs root: it starts its own zelkd in a private mount namespace, this
// build's or the program named by ZELK_BENCH_ZELKD (to set another build of
// zelkd beside this one).
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
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/zelkd_fixture.h"

namespace {

constexpr size_t kSmall = 64;
constexpr size_t kLarge = 1u << 20;

using Clock = std::chrono::steady_clock;

// The nanoseconds of each round of the last run of each benchmark.
std::map<std::string, std::vector<double>> rounds;

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

template <typename Round>
void timeRounds(benchmark::State &state, const char *name, size_t bytes,
                Round round)
{
    std::vector<double> samples;
    samples.reserve(state.max_iterations);
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!round()) {
            state.SkipWithError("a round failed");
            break;
        }
        samples.push_back(
            std::chrono::duration<double, std::nano>(Clock::now() - start)
                .count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    rounds[name] = std::move(samples);
}

void BM_ZelkdRoundTrip64(benchmark::State &state)
{
    char request[kSmall] = {1};
    char reply[kSmall];
    timeRounds(state, "zelkd64", kSmall, [&] {
        return zelkMsgSend(zelkdChannels[0], request, kSmall, reply, kSmall) ==
               0;
    });
}

void BM_SocketpairRoundTrip64(benchmark::State &state)
{
    char request[kSmall] = {1};
    char reply[kSmall];
    timeRounds(state, "socket64", kSmall, [&] {
        return writeFully(sockets[0], request, kSmall) &&
               readFully(sockets[0], reply, kSmall);
    });
}

void BM_ZelkdSend1MiB(benchmark::State &state)
{
    std::vector<char> data(kLarge, 'z');
    timeRounds(state, "zelkd1M", kLarge, [&] {
        return zelkMsgSend(zelkdChannels[1], data.data(), kLarge, nullptr, 0) ==
               0;
    });
}

void BM_SocketpairSend1MiB(benchmark::State &state)
{
    std::vector<char> data(kLarge, 's');
    char ack;
    timeRounds(state, "socket1M", kLarge, [&] {
        return writeFully(sockets[1], data.data(), kLarge) &&
               readFully(sockets[1], &ack, 1);
    });
}

BENCHMARK(BM_ZelkdRoundTrip64)->UseRealTime();
BENCHMARK(BM_SocketpairRoundTrip64)->UseRealTime();
BENCHMARK(BM_ZelkdSend1MiB)->UseRealTime();
BENCHMARK(BM_SocketpairSend1MiB)->UseRealTime();

double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(p * (samples.size() - 1))];
}

void summarize()
{
    auto line = [](const char *what, const char *ours, const char *base,
                   bool throughput) {
        const double m = percentile(rounds[ours], 0.5);
        const double b = percentile(rounds[base], 0.5);
        const double p = percentile(rounds[ours], 0.99);
        const double bp = percentile(rounds[base], 0.99);
        printf("%-22s zelkd median %9.1f us p99 %9.1f us | socketpair "
               "median %9.1f us p99 %9.1f us | %s %.2f\n",
               what, m / 1e3, p / 1e3, b / 1e3, bp / 1e3,
               throughput ? "throughput ratio" : "time ratio",
               throughput ? b / m : m / b);
    };
    printf("\n");
    line("64 B round trip", "zelkd64", "socket64", false);
    line("1 MiB message", "zelkd1M", "socket1M", true);
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
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
    summarize();

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
