// A system-log socket of the test's own: a Unix datagram socket bound where
// the C library sends syslog messages, read back record by record.
#ifndef ZELK_TESTS_SUPPORT_SYSLOG_SINK_H
#define ZELK_TESTS_SUPPORT_SYSLOG_SINK_H

#include <string>
#include <vector>

namespace zelk::test {

struct SyslogRecord {
    int priority = -1;   // facility * 8 + severity, from "<n>"
    std::string ident;   // program name and "[pid]" as sent
    std::string message; // text after "ident: "
};

class SyslogSink {
public:
    SyslogSink() = default;
    ~SyslogSink();
    SyslogSink(const SyslogSink &) = delete;
    SyslogSink &operator=(const SyslogSink &) = delete;

    // Binds the socket at path (replacing a stale file). "" or the reason.
    std::string bind(const std::string &path = "/dev/log");

    // Returns every record that arrives until quietMs pass without one.
    std::vector<SyslogRecord> collect(int quietMs = 300);

private:
    int fd_ = -1;
    std::string path_;
};

// Splits one datagram in the C library's format "<pri>Mmm dd hh:mm:ss id: msg".
SyslogRecord parseSyslog(const std::string &datagram);

} // namespace zelk::test

#endif
