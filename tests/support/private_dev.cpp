// A tmpfs /dev in a private mount namespace; see private_dev.h.
#include "support/private_dev.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelk::test {

namespace {

std::string why(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

} // namespace

std::string enterPrivateDev()
{
    if (geteuid() != 0)
        return "needs root (mount namespaces and mounts)";

    struct Node {
        std::string name;
        struct stat st;
    };
    std::vector<Node> nodes;
    for (const char *name :
         {"null", "zero", "full", "random", "urandom", "tty", "fuse"}) {
        Node node{name, {}};
        if (stat(("/dev/" + node.name).c_str(), &node.st) == 0 &&
            S_ISCHR(node.st.st_mode))
            nodes.push_back(node);
    }

    if (unshare(CLONE_NEWNS) != 0)
        return why("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_PRIVATE | MS_REC, nullptr) != 0)
        return why("making / private");
    if (mount("zelk-test-dev", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
        return why("mounting a tmpfs on /dev");
    for (const Node &node : nodes) {
        const std::string path = "/dev/" + node.name;
        if (mknod(path.c_str(), node.st.st_mode, node.st.st_rdev) != 0)
            return why(("mknod " + path).c_str());
        chmod(path.c_str(), node.st.st_mode & 07777);
    }
    return "";
}

} // namespace zelk::test
