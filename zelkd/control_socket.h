// zelkd's control socket: a Unix stream socket on which a local user asks
// for zelkd's status. One thread serves it, one connection at a time, each
// with a bounded request, time limits and one answer, so a client can delay
// only other status requests, never the device.
#ifndef ZELKD_CONTROL_SOCKET_H
#define ZELKD_CONTROL_SOCKET_H

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace zelkd {

// The asker, as the kernel reports the other end of the connection.
struct Peer {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups
};

class ControlSocket {
public:
    // Answers one request line ("status") from peer.
    using Answer =
        std::function<std::string(const Peer &peer, const std::string &)>;

    ControlSocket() = default;
    ~ControlSocket();
    ControlSocket(const ControlSocket &) = delete;
    ControlSocket &operator=(const ControlSocket &) = delete;

    // Binds path (replacing a stale socket there; the directory is made
    // when missing) and starts serving on a thread of its own. Returns ""
    // or why not.
    std::string start(const std::string &path, Answer answer);
    // Stops the thread and removes the socket if it is still this one.
    void stop();

private:
    void serve();
    void answerOne(int fd);

    std::string path_;
    Answer answer_;
    int listen_ = -1;
    int wake_ = -1; // eventfd that tells the thread to stop
    ino_t inode_ = 0;
    std::thread thread_;
};

} // namespace zelkd

#endif
