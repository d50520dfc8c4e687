// The device path before mounting. A daemon that died leaves its mount in
// place: stat() may still succeed from cached attributes, but open() fails
// with ENOTCONN; mounting again would stack a second mount on the dead one.
// Only the mount that the path resolves to counts: mountinfo also lists
// mounts hidden under later ones at the same path. A file that zelkd
// creates carries a trusted attribute (only root can set one), so a daemon
// started after one that was killed still knows the file is zelkd's to
// remove.
#include "mount_point.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "log.h"

namespace zelkd {

namespace {

constexpr char kCreatedMark[] = "trusted.zelkd.created";

std::string errorText(const std::string &what, int err)
{
    return what + ": " + strerror(err);
}

// The id of the mount that path resolves to, from cached attributes only
// (a dead FUSE mount would otherwise fail the query); 0 when unknown.
uint64_t mountId(const std::string &path)
{
    struct statx st {};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC,
              STATX_MNT_ID, &st) != 0 ||
        (st.stx_mask & STATX_MNT_ID) == 0)
        return 0;
    return st.stx_mnt_id;
}

} // namespace

bool isMountPoint(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    const uint64_t own = mountId(path);
    return own != 0 && own != mountId(parent);
}

std::string prepareMountPoint(const std::string &path, bool &created)
{
    created = false;
    // Stale mounts may be stacked; each lazy unmount uncovers the next.
    for (int round = 0;; ++round) {
        if (round == 16)
            return path + " stays mounted after clearing 16 stale mounts";
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
        const int err = errno;
        if (fd >= 0) {
            close(fd);
            if (isMountPoint(path))
                return path + " is mounted and answers: is another zelkd "
                              "serving it?";
            break;
        }
        if (err == ENOENT || err == EISDIR)
            break;
        if (err != ENOTCONN)
            return errorText(path + " cannot be opened", err);
        if (umount2(path.c_str(), MNT_DETACH) != 0)
            return errorText("clearing the stale mount on " + path, errno);
        logLine(LogLevel::Info, "cleared a stale mount on %s", path.c_str());
    }

    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return path + " exists and is not a regular file";
        created = getxattr(path.c_str(), kCreatedMark, nullptr, 0) >= 0;
        return "";
    }
    if (errno != ENOENT)
        return errorText(path, errno);
    const int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errorText("creating " + path, errno);
    // Where the filesystem keeps no such attributes, a file left by a
    // killed daemon stays behind, as before.
    fsetxattr(fd, kCreatedMark, "1", 1, 0);
    close(fd);
    created = true;
    return "";
}

} // namespace zelkd
