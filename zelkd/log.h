// zelkd's own log: standard error or the system log, filtered by verbosity.
#ifndef ZELKD_LOG_H
#define ZELKD_LOG_H

namespace zelkd {

enum class LogLevel { Error = 0, Info = 1, Debug = 2 };

// Sends messages to the system log (true) or standard error (false) and
// keeps those at or below verbosity (0: errors, 1: start and stop, 2: every
// request). Errors are always kept.
void logSetup(bool toSyslog, int verbosity);

bool logEnabled(LogLevel level);

// Writes one line (no line end needed).
void logLine(LogLevel level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

} // namespace zelkd

#endif
