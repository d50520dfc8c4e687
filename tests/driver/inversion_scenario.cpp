// The priority-inversion scenario; see inversion_scenario.h.
#include "driver/inversion_scenario.h"

#include "zelk.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <sched.h>

#include "support/gate.h"
#include "support/zelkd_fixture.h"

namespace zelk::test {

namespace {

using Clock = std::chrono::steady_clock;

void *runBody(void *arg)
{
    auto *body = static_cast<std::function<void()> *>(arg);
    (*body)();
    delete body;
    return nullptr;
}

int firstAllowedCpu()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 0;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            return cpu;
    }
    return 0;
}

} // namespace

ThreadPriority currentPriority()
{
    // Asked of the kernel: pthread_getschedparam may answer from what the
    // threads library set itself, and miss what zelkd changed.
    ThreadPriority out;
    sched_param param{};
    out.policy = sched_getscheduler(0);
    if (sched_getparam(0, &param) == 0)
        out.priority = param.sched_priority;
    return out;
}

int startFifoThread(pthread_t &thread, int priority,
                    const std::function<void()> &body)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
    sched_param param{};
    param.sched_priority = priority;
    pthread_attr_setschedparam(&attr, &param);
    auto *copy = new std::function<void()>(body);
    const int err = pthread_create(&thread, &attr, runBody, copy);
    pthread_attr_destroy(&attr);
    if (err != 0)
        delete copy;
    return err;
}

std::string pinProcess(pid_t pid, const cpu_set_t &cpus)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(dir.c_str());
    if (tasks == nullptr)
        return dir + ": " + strerror(errno);
    std::string why;
    while (const dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        if (sched_setaffinity(atoi(entry->d_name), sizeof cpus, &cpus) != 0)
            why = std::string("sched_setaffinity: ") + strerror(errno);
    }
    closedir(tasks);
    return why;
}

InversionResult runInversion(pid_t zelkd, std::chrono::milliseconds spin)
{
    InversionResult result;
    cpu_set_t saved;
    sched_getaffinity(0, sizeof saved, &saved);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(firstAllowedCpu(), &one);
    // Threads started from here on inherit the calling thread's CPU.
    sched_setaffinity(0, sizeof one, &one);
    result.error = pinProcess(zelkd, one);

    Gate ready;
    pthread_t server{};
    if (result.error.empty()) {
        const int err = startFifoThread(server, kServerPriority, [&] {
            const int channel = zelkChannelCreate("inversion");
            result.serverBefore = currentPriority();
            ready.open();
            if (channel < 0)
                return;
            char buffer[64];
            const int id =
                zelkMsgReceive(channel, buffer, sizeof buffer, nullptr);
            result.serverServing = currentPriority();
            if (id > 0)
                zelkMsgReply(id, 0, buffer, sizeof buffer);
            result.serverAfter = currentPriority();
            zelkChannelDestroy(channel);
        });
        if (err != 0)
            result.error = std::string("a SCHED_FIFO thread: ") + strerror(err);
    }
    if (result.error.empty()) {
        ready.wait();
        // Let the server reach its receive in zelkd (at most 10 s: one that
        // never gets there shows in the result).
        awaitStatus([](const std::string &status) {
            return status.find("\"receivers\":[{") != std::string::npos;
        });
        pthread_t client{};
        const int err = startFifoThread(client, kClientPriority, [&] {
            const int connection = zelkConnectAttach("inversion");
            if (connection < 0) {
                result.error = std::string("attach: ") + strerror(errno);
                return;
            }
            // The spinner cannot run before the client blocks in its send.
            const auto until = Clock::now() + spin;
            pthread_t spinner{};
            startFifoThread(spinner, kSpinnerPriority, [until] {
                while (Clock::now() < until) {
                }
            });
            char message[64] = "ping";
            char reply[64];
            const auto start = Clock::now();
            const int status = zelkMsgSend(connection, message, sizeof message,
                                           reply, sizeof reply);
            result.roundTrip = Clock::now() - start;
            if (status != 0)
                result.error = std::string("send: ") + strerror(errno);
            pthread_join(spinner, nullptr);
            zelkConnectDetach(connection);
        });
        if (err != 0)
            result.error = std::string("a SCHED_FIFO thread: ") + strerror(err);
        else
            pthread_join(client, nullptr);
        pthread_join(server, nullptr);
    }
    sched_setaffinity(0, sizeof saved, &saved);
    pinProcess(zelkd, saved);
    return result;
}

} // namespace zelk::test
