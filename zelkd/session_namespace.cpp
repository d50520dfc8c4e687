// Namespaces and mounts of a zelkd session. The old /dev stays reachable
// through a descriptor opened before the tmpfs covers it, so its entries are
// bound into the new /dev from /proc/self/fd/<fd>/<name>: no directory is
// made anywhere for the move, and devices need no mknod (which a user
// namespace forbids).
#include "session_namespace.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelkd {

namespace {

std::string why(const std::string &what)
{
    return what + ": " + strerror(errno);
}

bool writeFile(const char *path, const std::string &text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) ==
                    static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// A map of one id: inside the new user namespace, and in its parent.
std::string mapIds(unsigned inside, unsigned outside)
{
    return std::to_string(inside) + " " + std::to_string(outside) + " 1\n";
}

// Enters a new user namespace (and mount namespace) with one user and one
// group mapped.
std::string enterUserNamespace(unsigned uidInside, unsigned uidOutside,
                               unsigned gidInside, unsigned gidOutside)
{
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        const int err = errno;
        std::string text = "cannot create a user namespace: ";
        text += strerror(err);
        if (err == EPERM || err == ENOSPC || err == EINVAL || err == EACCES)
            text += " (this system does not let unprivileged users create "
                    "user namespaces: see the sysctls "
                    "kernel.unprivileged_userns_clone, "
                    "user.max_user_namespaces and "
                    "kernel.apparmor_restrict_unprivileged_userns; "
                    "or run as root)";
        return text;
    }
    if (!writeFile("/proc/self/setgroups", "deny") && errno != ENOENT)
        return why("/proc/self/setgroups");
    if (!writeFile("/proc/self/uid_map", mapIds(uidInside, uidOutside)))
        return why("/proc/self/uid_map");
    if (!writeFile("/proc/self/gid_map", mapIds(gidInside, gidOutside)))
        return why("/proc/self/gid_map");
    return "";
}

// Binds (recursively) what fd's directory holds under name onto target.
bool bindFrom(int fd, const char *name, const std::string &target)
{
    const std::string source =
        "/proc/self/fd/" + std::to_string(fd) + "/" + name;
    return mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC,
                 nullptr) == 0;
}

// Covers dir with a tmpfs and brings back every entry of the old dir except
// skip: symbolic links copied, directories and files bound. Entries that
// cannot be brought back are left out.
std::string rebuildWithout(const std::string &dir, const char *skip,
                           const char *fsName)
{
    const int fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return why(dir);
    std::vector<std::string> names;
    if (DIR *listing = opendir(dir.c_str())) {
        while (const dirent *entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != skip)
                names.push_back(name);
        }
        closedir(listing);
    }
    if (mount(fsName, dir.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0) {
        const std::string problem = why("mounting a tmpfs on " + dir);
        close(fd);
        return problem;
    }
    for (const std::string &name : names) {
        const std::string target = dir + "/" + name;
        struct stat st;
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char link[PATH_MAX];
            const ssize_t n =
                readlinkat(fd, name.c_str(), link, sizeof link - 1);
            if (n >= 0) {
                link[n] = '\0';
                if (symlink(link, target.c_str()) != 0)
                    continue;
            }
        } else if (S_ISDIR(st.st_mode)) {
            if (mkdir(target.c_str(), st.st_mode & 07777) == 0 &&
                !bindFrom(fd, name.c_str(), target))
                rmdir(target.c_str());
        } else {
            const int file =
                open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            if (file < 0)
                continue;
            close(file);
            if (!bindFrom(fd, name.c_str(), target))
                unlink(target.c_str());
        }
    }
    close(fd);
    return "";
}

} // namespace

std::string enterSessionNamespace(const SessionUser &user)
{
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNS) != 0)
            return why("cannot create a mount namespace");
    } else {
        const std::string problem =
            enterUserNamespace(0, user.uid, 0, user.gid);
        if (!problem.empty())
            return problem;
    }
    if (mount(nullptr, "/", nullptr, MS_PRIVATE | MS_REC, nullptr) != 0)
        return why("making the mounts private");
    return "";
}

std::string checkFuse()
{
    const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return why("cannot open /dev/fuse") +
               (errno == ENOENT ? " (load the fuse module: modprobe fuse)"
                                : "");
    close(fd);
    return "";
}

std::string makePrivateDevAndMarkers()
{
    std::string problem = rebuildWithout("/dev", "zelk", "zelk-session-dev");
    if (!problem.empty())
        return problem;
    // The markers of the program's threads stay in the session: an empty
    // directory over the existing one, or a /run rebuilt with one in it.
    char markers[PATH_MAX];
    if (realpath("/var/run/zelk", markers) != nullptr) {
        if (mount("zelk-session-markers", markers, "tmpfs",
                  MS_NOSUID | MS_NODEV, "mode=1777") != 0)
            return why(std::string("mounting a tmpfs on ") + markers);
        return "";
    }
    char run[PATH_MAX];
    if (realpath("/var/run", run) == nullptr)
        return ""; // no /var/run: no markers
    problem = rebuildWithout(run, "zelk", "zelk-session-run");
    if (!problem.empty())
        return problem;
    const std::string dir = std::string(run) + "/zelk";
    if (mkdir(dir.c_str(), 0755) != 0 || chmod(dir.c_str(), 01777) != 0)
        return why("creating " + dir);
    return "";
}

std::string becomeUserAgain(const SessionUser &user)
{
    // Root of the session's namespace is the user outside; map the user's
    // own ids onto it.
    return enterUserNamespace(user.uid, 0, user.gid, 0);
}

} // namespace zelkd
