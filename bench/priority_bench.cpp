// What priority inheritance costs and what it buys, with and without it in
// one run: each setting has its own zelkd (in a child process with a
// private mount namespace), and the benchmarks alternate between the two.
// - RoundTrip64: a 64-byte request and reply between a client and a server
//   process, both under SCHED_OTHER, unpinned and with client, server and
//   zelkd pinned to one CPU: the cost of zelkd's switching between its
//   waiting priority and its callers'. An iteration is 100 round trips;
//   the counter us_per_round_trip gives one.
// - Inversion: a SCHED_FIFO client's round trip to a low-priority server
//   while a thread of middling priority spins for a second on the same CPU.
// Run as root, best with --benchmark_repetitions=5
// --benchmark_enable_random_interleaving=true (the default without flags).
#include "zelk.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <csignal>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/inversion_scenario.h"
#include "support/zelkd_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kSmall = 64;
constexpr int kBatch = 100; // round trips per benchmark iteration
constexpr auto kSpin = std::chrono::milliseconds(1000);

struct Command {
    char op; // 'r': round trips, 'i': one inversion, 'q': quit
    int pinned;
};

// A child process with a zelkd of its own, and the pipes to it.
struct Worker {
    pid_t pid = -1;
    int commands = -1;
    int results = -1;
};
Worker workers[2]; // [0] without inheritance, [1] with

void pinAll(const std::vector<pid_t> &pids, bool pinned)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (pinned) {
        sched_getaffinity(0, sizeof set, &set);
        int first = 0;
        while (!CPU_ISSET(first, &set))
            ++first;
        CPU_ZERO(&set);
        CPU_SET(first, &set);
    } else {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            CPU_SET(cpu, &set);
    }
    for (pid_t pid : pids)
        zelk::test::pinProcess(pid, set);
}

[[noreturn]] void serveEcho()
{
    const int channel = zelkChannelCreate("rt-bench");
    char buffer[kSmall];
    for (;;) {
        const int id = zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
        if (id < 0)
            _exit(0); // zelkd stopped
        zelkMsgReply(id, 0, buffer, sizeof buffer);
    }
}

// Runs commands until told to quit; answers each with nanoseconds (-1 when
// something failed).
[[noreturn]] void work(bool inheritance, int commands, int results)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::string why = zelk::test::enterDriverSandbox();
    zelk::test::ZelkdProcess zelkd;
    if (why.empty()) {
        std::vector<std::string> extra;
        if (!inheritance)
            extra.push_back("--no-inheritance");
        why = zelkd.start("/dev/zelk", extra);
    }
    if (!why.empty()) {
        fprintf(stderr, "priority_bench: %s\n", why.c_str());
        _exit(1);
    }
    const pid_t server = fork();
    if (server == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        serveEcho();
    }
    int connection;
    while ((connection = zelkConnectAttach("rt-bench")) < 0)
        usleep(1000);

    Command command{};
    int pinned = -1;
    while (read(commands, &command, sizeof command) == sizeof command &&
           command.op != 'q') {
        double ns = -1;
        if (command.op == 'r') {
            if (command.pinned != pinned)
                pinAll({getpid(), server, zelkd.pid()}, command.pinned != 0);
            pinned = command.pinned;
            char request[kSmall] = {1};
            char reply[kSmall];
            const auto start = Clock::now();
            bool ok = true;
            for (int i = 0; i < kBatch && ok; ++i)
                ok = zelkMsgSend(connection, request, kSmall, reply, kSmall) ==
                     0;
            if (ok)
                ns = std::chrono::duration<double, std::nano>(Clock::now() -
                                                              start)
                         .count();
        } else if (command.op == 'i') {
            const auto result = zelk::test::runInversion(zelkd.pid(), kSpin);
            if (result.error.empty())
                ns = static_cast<double>(result.roundTrip.count());
            else
                fprintf(stderr, "priority_bench: %s\n", result.error.c_str());
        }
        if (write(results, &ns, sizeof ns) != sizeof ns)
            break;
    }
    zelkConnectDetach(connection);
    zelkd.stop();
    waitpid(server, nullptr, 0);
    _exit(0);
}

double ask(int inheritance, Command command)
{
    double ns = -1;
    const Worker &worker = workers[inheritance];
    if (write(worker.commands, &command, sizeof command) != sizeof command ||
        read(worker.results, &ns, sizeof ns) != sizeof ns)
        return -1;
    return ns;
}

void BM_RoundTrip64(benchmark::State &state)
{
    const int inheritance = static_cast<int>(state.range(0));
    const Command command{'r', static_cast<int>(state.range(1))};
    double total = 0;
    for (auto _ : state) {
        const double ns = ask(inheritance, command);
        if (ns < 0) {
            state.SkipWithError("a round trip failed");
            break;
        }
        state.SetIterationTime(ns / 1e9);
        total += ns;
    }
    state.counters["us_per_round_trip"] =
        total / 1e3 / kBatch / static_cast<double>(state.iterations());
}

void BM_Inversion(benchmark::State &state)
{
    const int inheritance = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const double ns = ask(inheritance, Command{'i', 1});
        if (ns < 0) {
            state.SkipWithError("the scenario failed (needs SCHED_FIFO)");
            break;
        }
        state.SetIterationTime(ns / 1e9);
    }
}

BENCHMARK(BM_RoundTrip64)
    ->ArgNames({"inheritance", "pinned"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Inversion)
    ->ArgName("inheritance")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    std::vector<char *> args(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=5";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (argc == 1) {
        args.push_back(repetitions);
        args.push_back(interleave);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (geteuid() != 0) {
        fprintf(stderr, "priority_bench: needs root (zelkd, SCHED_FIFO)\n");
        return 1;
    }
    for (int inheritance = 0; inheritance < 2; ++inheritance) {
        int commands[2], results[2];
        if (pipe(commands) != 0 || pipe(results) != 0)
            return 1;
        const pid_t pid = fork();
        if (pid == 0) {
            close(commands[1]);
            close(results[0]);
            work(inheritance != 0, commands[0], results[1]);
        }
        close(commands[0]);
        close(results[1]);
        workers[inheritance] = Worker{pid, commands[1], results[0]};
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (Worker &worker : workers) {
        const Command quit{'q', 0};
        (void)!write(worker.commands, &quit, sizeof quit);
        waitpid(worker.pid, nullptr, 0);
    }
    return 0;
}
