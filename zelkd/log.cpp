// zelkd's log: one line per message, to standard error or the system log.
// Set up once in main before the event loop; read-only afterwards. Every
// line is escaped whole, so text that callers chose (channel names) can
// neither break it into several lines nor hide control bytes in it.
#include "log.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include <syslog.h>

namespace zelkd {

namespace {

bool logToSyslog = false;
int logVerbosity = 1;

} // namespace

std::string escapeLogText(const char *text, size_t size)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(size);
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; i < size;) {
        const unsigned char c = bytes[i];
        // The length of a well-formed UTF-8 sequence starting here, or 0.
        size_t length = 0;
        uint32_t point = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            point = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            point = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            point = c & 0x07u;
        }
        for (size_t k = 1; k < length; ++k) {
            if (i + k >= size || (bytes[i + k] & 0xC0u) != 0x80u) {
                length = 0;
                break;
            }
            point = (point << 6) | (bytes[i + k] & 0x3Fu);
        }
        // Overlong forms, surrogates and points beyond U+10FFFF are not
        // UTF-8; C1 controls are controls.
        if ((length == 3 &&
             (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) ||
            (length == 4 && (point < 0x10000 || point > 0x10FFFF)) ||
            (length == 2 && point < 0xA0))
            length = 0;
        if (length != 0) {
            out.append(text + i, length);
            i += length;
            continue;
        }
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xFu];
        }
        ++i;
    }
    return out;
}

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
    char raw[1024];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(raw, sizeof raw, format, args);
    va_end(args);
    if (n < 0)
        return;
    const size_t size = static_cast<size_t>(n) < sizeof raw
                            ? static_cast<size_t>(n)
                            : sizeof raw - 1;
    const std::string line = escapeLogText(raw, size);
    const char *text = line.c_str();
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
