// zelkd's own log: standard error or the system log, filtered by verbosity.
#ifndef ZELKD_LOG_H
#define ZELKD_LOG_H

#include <cstddef>
#include <string>

namespace zelkd {

enum class LogLevel { Error = 0, Info = 1, Debug = 2 };

// Sends messages to the system log (true) or standard error (false) and
// keeps those at or below verbosity (0: errors, 1: start and stop, 2: every
// request). Errors are always kept.
void logSetup(bool toSyslog, int verbosity);

bool logEnabled(LogLevel level);

// Writes one line (no line end needed). The whole line is escaped as
// escapeLogText() does.
void logLine(LogLevel level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// size bytes of text as one printable line: backslash, newline and tab as
// \\, \n and \t, other control bytes and bytes that are not UTF-8 as
// \xHH; well-formed UTF-8 other than controls stays as it is.
std::string escapeLogText(const char *text, size_t size);

} // namespace zelkd

#endif
