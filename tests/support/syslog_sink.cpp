// A datagram socket that stands in for the system logger; see syslog_sink.h.
#include "support/syslog_sink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelk::test {

SyslogSink::~SyslogSink()
{
    if (fd_ >= 0) {
        close(fd_);
        unlink(path_.c_str());
    }
}

std::string SyslogSink::bind(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return "socket path too long";
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return std::string("socket: ") + strerror(errno);
    unlink(path.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return std::string("bind ") + path + ": " + strerror(errno);
    path_ = path;
    return "";
}

std::vector<SyslogRecord> SyslogSink::collect(int quietMs)
{
    std::vector<SyslogRecord> records;
    for (;;) {
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = poll(&pfd, 1, quietMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return records;
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0)
            records.push_back(parseSyslog(std::string(buffer, n)));
    }
}

SyslogRecord parseSyslog(const std::string &datagram)
{
    SyslogRecord record;
    const size_t close = datagram.find('>');
    if (datagram.empty() || datagram[0] != '<' || close == std::string::npos)
        return record;
    record.priority = atoi(datagram.substr(1, close - 1).c_str());
    // The time stamp "Mmm dd hh:mm:ss " is 16 characters long.
    const size_t identStart = close + 1 + 16;
    const size_t colon = datagram.find(": ", identStart);
    if (identStart > datagram.size() || colon == std::string::npos)
        return record;
    record.ident = datagram.substr(identStart, colon - identStart);
    record.message = datagram.substr(colon + 2);
    return record;
}

} // namespace zelk::test
