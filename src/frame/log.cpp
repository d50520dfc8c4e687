// The log facility: console, file and system-log destinations behind one
// level mask. The mask and the system-log flag are atomics so the filter is
// lock-free; logLock guards the two streams, so that reconfiguring a
// destination while another thread writes cannot touch a closed stream.
#include "zelk.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include <syslog.h>

#include "common/lock.h"
#include "common/status.h"
#include "frame/log.h"

using zelk::detail::fail;
using zelk::detail::MutexHolder;

namespace {

std::atomic<unsigned> logMask{0};
std::atomic<int> logSyslog{0};
// Non-zero while any destination is on: lets a message with nowhere to go
// return without taking the lock.
std::atomic<int> logDestinations{0};

pthread_mutex_t logLock = PTHREAD_MUTEX_INITIALIZER;
FILE *logFdConsole = nullptr; // guarded by logLock
FILE *logFdFile = nullptr;    // guarded by logLock

void countDestinations()
{
    const int n = (logFdConsole != nullptr) + (logFdFile != nullptr) +
                  logSyslog.load(std::memory_order_relaxed);
    logDestinations.store(n, std::memory_order_relaxed);
}

void writeStream(FILE *stream, const char *format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    vfprintf(stream, format, copy);
    va_end(copy);
    fflush(stream);
}

} // namespace

bool zelk::detail::logToSyslogEnabled()
{
    return logSyslog.load(std::memory_order_relaxed) != 0;
}

void zelkLog(int level, const char *format, ...)
{
    if (level != 0 && (static_cast<unsigned>(level) &
                       logMask.load(std::memory_order_relaxed)) == 0)
        return;
    if (format == nullptr ||
        logDestinations.load(std::memory_order_relaxed) == 0)
        return;

    va_list args;
    va_start(args, format);
    {
        MutexHolder hold(&logLock);
        if (logFdConsole != nullptr)
            writeStream(logFdConsole, format, args);
        if (logFdFile != nullptr)
            writeStream(logFdFile, format, args);
        if (logSyslog.load(std::memory_order_relaxed) != 0) {
            va_list copy;
            va_copy(copy, args);
            vsyslog(LOG_NOTICE, format, copy);
            va_end(copy);
        }
    }
    va_end(args);
}

void zelkLogMaskSet(unsigned mask)
{
    logMask.store(mask, std::memory_order_relaxed);
}

int zelkLogConfig(int destination, const char *argument)
{
    MutexHolder hold(&logLock);
    switch (destination) {
    case ZELK_LOG_TO_FILE:
        if (logFdFile != nullptr) {
            fclose(logFdFile);
            logFdFile = nullptr;
        }
        if (argument != nullptr)
            logFdFile = fopen(argument, "a+e");
        countDestinations();
        return argument != nullptr && logFdFile == nullptr ? -1 : 0;
    case ZELK_LOG_TO_CONSOLE:
        logFdConsole = argument != nullptr ? stdout : nullptr;
        countDestinations();
        return 0;
    case ZELK_LOG_TO_SYSLOG:
        if (argument != nullptr)
            openlog(nullptr, LOG_PID, LOG_USER);
        else
            closelog();
        logSyslog.store(argument != nullptr, std::memory_order_relaxed);
        countDestinations();
        return 0;
    default:
        return fail(EINVAL);
    }
}
