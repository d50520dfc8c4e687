// The control socket's client side. The socket must belong to root: the
// directory under /run is writable by everybody, and an answer from a
// socket that somebody else made there would be a forgery.
#include "control_client.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelktool {

namespace {

constexpr size_t kAnswerMax = 64u << 20;
constexpr int kTimeoutSeconds = 5;

} // namespace

Fetch fetchStatus(const std::string &socketPath, std::string &out)
{
    struct stat st {};
    if (lstat(socketPath.c_str(), &st) != 0) {
        out = "zelkd is not running (no status socket at " + socketPath + ")";
        return errno == ENOENT ? Fetch::NotRunning : Fetch::Failed;
    }
    if (!S_ISSOCK(st.st_mode) || st.st_uid != 0) {
        out = socketPath + " is not zelkd's: not a socket owned by root";
        return Fetch::Failed;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        out = socketPath + ": path too long";
        return Fetch::Failed;
    }
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        out = std::string("socket: ") + strerror(errno);
        return Fetch::Failed;
    }
    const timeval limit{kTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) !=
        0) {
        const int err = errno;
        close(fd);
        out = "zelkd is not running (nothing answers at " + socketPath + ")";
        return err == ECONNREFUSED || err == ENOENT ? Fetch::NotRunning
                                                    : Fetch::Failed;
    }
    static const char request[] = "status\n";
    if (send(fd, request, sizeof request - 1, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sizeof request - 1)) {
        out = std::string("cannot ask zelkd: ") + strerror(errno);
        close(fd);
        return Fetch::Failed;
    }
    out.clear();
    char chunk[65536];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0 &&
           out.size() < kAnswerMax)
        out.append(chunk, static_cast<size_t>(n));
    const int err = errno;
    close(fd);
    if (n < 0 || out.empty()) {
        out = n < 0 ? std::string("no answer from zelkd: ") + strerror(err)
                    : "zelkd closed the connection without an answer";
        return Fetch::Failed;
    }
    return Fetch::Ok;
}

} // namespace zelktool
