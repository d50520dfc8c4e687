// zelkd's log: one line per message, to standard error or the system log.
// Set up once in main before the event loop; read-only afterwards.
#include "log.h"

#include <cstdarg>
#include <cstdio>

#include <syslog.h>

namespace zelkd {

namespace {

bool logToSyslog = false;
int logVerbosity = 1;

} // namespace

void logSetup(bool toSyslog, int verbosity)
{
    logToSyslog = toSyslog;
    logVerbosity = verbosity;
    if (toSyslog)
        openlog("zelkd", LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

bool logEnabled(LogLevel level)
{
    return static_cast<int>(level) <= logVerbosity || level == LogLevel::Error;
}

void logLine(LogLevel level, const char *format, ...)
{
    if (!logEnabled(level))
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (logToSyslog) {
        const int priority = level == LogLevel::Error  ? LOG_ERR
                             : level == LogLevel::Info ? LOG_INFO
                                                       : LOG_DEBUG;
        syslog(priority, "%s", text);
    } else {
        fprintf(stderr, "zelkd: %s\n", text);
    }
}

} // namespace zelkd
