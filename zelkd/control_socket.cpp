// The control socket's thread: accept, read one line of at most
// kRequestMax bytes within kTimeout, ask SO_PEERCRED and SO_PEERGROUPS who
// it is, write the answer within kTimeout, close. Signals stay with the
// FUSE loop: the thread blocks them all.
#include "control_socket.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "log.h"
#include "quiet_thread.h"

namespace zelkd {

namespace {

constexpr size_t kRequestMax = 64;
constexpr int kTimeoutMs = 1000; // for each read or write, and in all
// The marker directory's mode: every application may add markers there.
constexpr mode_t kRunDirMode = 01777;

void setTimeouts(int fd)
{
    const timeval limit{kTimeoutMs / 1000, (kTimeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool readPeer(int fd, Peer &peer)
{
    ucred cred{};
    socklen_t size = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return false;
    peer.pid = cred.pid;
    peer.uid = cred.uid;
    peer.gid = cred.gid;
    gid_t groups[256];
    size = sizeof groups;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &size) == 0)
        peer.groups.assign(groups, groups + size / sizeof(gid_t));
    return true;
}

} // namespace

ControlSocket::~ControlSocket()
{
    stop();
}

std::string ControlSocket::start(const std::string &path, Answer answer)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return path + ": path too long for a socket";
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), kRunDirMode) == 0)
            chmod(dir.c_str(), kRunDirMode); // past the umask
    }
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    wake_ = eventfd(0, EFD_CLOEXEC);
    if (listen_ < 0 || wake_ < 0)
        return std::string("socket: ") + strerror(errno);
    // Whatever is at the path is a socket left by an earlier zelkd (the
    // directory is sticky: only root or its owner could have put it there).
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(path.c_str());
    if (bind(listen_, reinterpret_cast<sockaddr *>(&address), sizeof address) !=
            0 ||
        listen(listen_, 16) != 0)
        return path + ": " + strerror(errno);
    // Everybody may connect; the answer depends on who asks.
    chmod(path.c_str(), 0666);
    if (stat(path.c_str(), &st) == 0)
        inode_ = st.st_ino;
    path_ = path;
    answer_ = std::move(answer);

    try {
        thread_ = startQuietThread([this] { serve(); });
    } catch (const std::system_error &error) {
        return std::string("cannot start its thread: ") + error.what();
    }
    return "";
}

void ControlSocket::stop()
{
    if (thread_.joinable()) {
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof one) != sizeof one)
            logLine(LogLevel::Error, "cannot stop the control socket");
        thread_.join();
    }
    struct stat st {};
    if (!path_.empty() && stat(path_.c_str(), &st) == 0 && st.st_ino == inode_)
        unlink(path_.c_str());
    path_.clear();
    for (int *fd : {&listen_, &wake_})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

void ControlSocket::serve()
{
    for (;;) {
        pollfd fds[2] = {{listen_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            logLine(LogLevel::Error, "control socket: poll: %s",
                    strerror(errno));
            return;
        }
        if (fds[1].revents != 0)
            return;
        const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue; // gone already, or out of descriptors for a moment
        try {
            answerOne(fd);
        } catch (const std::exception &error) {
            logLine(LogLevel::Error, "control socket: %s", error.what());
        }
        close(fd);
    }
}

void ControlSocket::answerOne(int fd)
{
    setTimeouts(fd);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(kTimeoutMs);
    auto late = [&] { return std::chrono::steady_clock::now() > deadline; };
    Peer peer;
    if (!readPeer(fd, peer))
        return;
    char request[kRequestMax];
    size_t used = 0;
    while (used < sizeof request) {
        const ssize_t n = recv(fd, request + used, sizeof request - used, 0);
        if (n <= 0 || late())
            return; // closed, or silent for too long
        used += static_cast<size_t>(n);
        if (memchr(request, '\n', used) != nullptr)
            break;
    }
    const char *end = static_cast<const char *>(memchr(request, '\n', used));
    if (end == nullptr)
        return; // too long
    const std::string reply =
        answer_(peer, std::string(request, static_cast<size_t>(end - request)));
    size_t sent = 0;
    const auto writeDeadline = std::chrono::steady_clock::now() +
                               std::chrono::milliseconds(kTimeoutMs);
    while (sent < reply.size()) {
        if (std::chrono::steady_clock::now() > writeDeadline)
            return;
        const ssize_t n =
            send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

} // namespace zelkd
