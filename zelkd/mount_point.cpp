// The device path before mounting. A daemon that died leaves its mount in
// place: stat() may still succeed from cached attributes, but open() fails
// with ENOTCONN; mounting again would stack a second mount on the dead one.
#include "mount_point.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"

namespace zelkd {

namespace {

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string unescape(const char *field)
{
    std::string out;
    for (const char *p = field; *p != '\0'; ++p) {
        if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' &&
            p[2] <= '7' && p[3] >= '0' && p[3] <= '7') {
            out += static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 +
                                     (p[3] - '0'));
            p += 3;
        } else {
            out += *p;
        }
    }
    return out;
}

std::string errorText(const std::string &what, int err)
{
    return what + ": " + strerror(err);
}

} // namespace

bool isMountPoint(const std::string &path)
{
    FILE *info = fopen("/proc/self/mountinfo", "re");
    if (info == nullptr)
        return false;
    bool found = false;
    char line[4096];
    while (!found && fgets(line, sizeof line, info) != nullptr) {
        // "id parent major:minor root mountpoint ..."
        char mountPoint[4096];
        if (sscanf(line, "%*s %*s %*s %*s %4095s", mountPoint) == 1)
            found = unescape(mountPoint) == path;
    }
    fclose(info);
    return found;
}

std::string prepareMountPoint(const std::string &path, bool &created)
{
    created = false;
    // Stale mounts may be stacked; each lazy unmount uncovers the next.
    for (int round = 0; isMountPoint(path); ++round) {
        if (round == 16)
            return path + " stays mounted after clearing 16 stale mounts";
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
        const int err = errno;
        if (fd >= 0) {
            close(fd);
            return path + " is mounted and answers: is another zelkd "
                          "serving it?";
        }
        if (err != ENOTCONN)
            return errorText(path + " is mounted and cannot be opened", err);
        if (umount2(path.c_str(), MNT_DETACH) != 0)
            return errorText("clearing the stale mount on " + path, errno);
        logLine(LogLevel::Info, "cleared a stale mount on %s", path.c_str());
    }

    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return path + " exists and is not a regular file";
        return "";
    }
    if (errno != ENOENT)
        return errorText(path, errno);
    const int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errorText("creating " + path, errno);
    close(fd);
    created = true;
    return "";
}

} // namespace zelkd
