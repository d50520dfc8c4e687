// The FUSE low-level callbacks of the one-file device (fuse_workers.cpp runs
// them). Every callback path ends in exactly one reply, now or (for a kept
// ioctl) later through ReplySink; no exception leaves a callback.
#define FUSE_USE_VERSION 31
#include "fuse_device.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>

namespace zelkd {

namespace {

FuseDevice &deviceOf(fuse_req_t req)
{
    return *static_cast<FuseDevice *>(fuse_req_userdata(req));
}

Token tokenOf(fuse_req_t req)
{
    return static_cast<Token>(reinterpret_cast<uintptr_t>(req));
}

fuse_req_t requestOf(Token token)
{
    return reinterpret_cast<fuse_req_t>(static_cast<uintptr_t>(token));
}

const time_t startTime = time(nullptr);

void devGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *)
{
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const FileAttributes &attrs = deviceOf(req).attributes();
    struct stat st {};
    st.st_ino = FUSE_ROOT_ID;
    st.st_mode = S_IFREG | (attrs.mode & 07777);
    st.st_nlink = 1;
    st.st_uid = attrs.owner;
    st.st_gid = attrs.group;
    st.st_atime = st.st_mtime = st.st_ctime = startTime;
    fuse_reply_attr(req, &st, 1.0);
}

// The file's owner, group and mode are the daemon's options, not the
// callers' to change.
void devSetattr(fuse_req_t req, fuse_ino_t, struct stat *, int,
                fuse_file_info *)
{
    fuse_reply_err(req, EPERM);
}

void devOpen(fuse_req_t req, fuse_ino_t, fuse_file_info *fi)
{
    // Requests need write permission on the file: a descriptor opened for
    // reading only gets none.
    if ((fi->flags & O_ACCMODE) != O_RDWR) {
        fuse_reply_err(req, EACCES);
        return;
    }
    DeviceHandler *handler = deviceOf(req).handler();
    try {
        fi->fh = handler->open();
    } catch (const std::bad_alloc &) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    fi->direct_io = 1;
    fi->nonseekable = 1;
    // An open whose caller was interrupted meanwhile is not delivered: the
    // descriptor would never be released.
    if (fuse_reply_open(req, fi) == -ENOENT)
        handler->release(fi->fh);
}

void devRelease(fuse_req_t req, fuse_ino_t, fuse_file_info *fi)
{
    deviceOf(req).handler()->release(fi->fh);
    fuse_reply_err(req, 0);
}

// A close() of one copy of a shared descriptor (a forked child's, say) must
// not end what the descriptor holds: only the release of the last one does.
void devFlush(fuse_req_t req, fuse_ino_t, fuse_file_info *)
{
    fuse_reply_err(req, 0);
}

void devIoctl(fuse_req_t req, fuse_ino_t, int cmd, void *, fuse_file_info *fi,
              unsigned flags, const void *in, size_t inSize, size_t outSize)
{
    // A 32-bit caller on a 64-bit kernel arrives with FUSE_IOCTL_COMPAT.
    // The records are the same for both, so it is served alike.
    if ((flags & FUSE_IOCTL_DIR) != 0) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    const fuse_ctx *ctx = fuse_req_ctx(req);
    FuseDevice &device = deviceOf(req);
    Caller caller{ctx->pid, ctx->uid, ctx->gid,
                  (flags & FUSE_IOCTL_COMPAT) != 0};
    if (!device.startServing(caller.uid)) {
        fuse_reply_err(req, EAGAIN);
        return;
    }
    caller.priority = device.callerPriority(ctx->pid);
    {
        const ServingAt serving(device.serving(), caller.priority);
        try {
            device.handler()->ioctl(tokenOf(req), fi->fh, caller,
                                    static_cast<uint32_t>(cmd), in, inSize,
                                    outSize);
        } catch (const std::bad_alloc &) {
            fuse_reply_err(req, ENOMEM);
        }
    }
    device.endServing(caller.uid);
}

void onInterrupt(fuse_req_t req, void *data)
{
    static_cast<FuseDevice *>(data)->handler()->interrupt(tokenOf(req));
}

fuse_lowlevel_ops makeOps()
{
    fuse_lowlevel_ops ops{};
    ops.getattr = devGetattr;
    ops.setattr = devSetattr;
    ops.open = devOpen;
    ops.release = devRelease;
    ops.flush = devFlush;
    ops.ioctl = devIoctl;
    return ops;
}

} // namespace

Priority FuseDevice::callerPriority(pid_t tid) const
{
    Schedule schedule;
    // A caller outside zelkd's pid namespace shows as pid 0, which would
    // read zelkd's own thread.
    if (scheduling_ == nullptr || tid <= 0 ||
        scheduling_->get(tid, schedule) != 0)
        return Priority{};
    return carriedPriority(schedule);
}

FuseDevice::~FuseDevice()
{
    unmount();
    if (session_ != nullptr)
        fuse_session_destroy(session_);
}

std::string FuseDevice::mount(const std::string &path,
                              const FileAttributes &attrs)
{
    attrs_ = attrs;
    const char *argv[] = {
        "zelkd", "-o",
        "allow_other,default_permissions,fsname=zelkd,subtype=zelkd"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char **>(argv));
    const fuse_lowlevel_ops ops = makeOps();
    session_ = fuse_session_new(&args, &ops, sizeof ops, this);
    fuse_opt_free_args(&args);
    if (session_ == nullptr)
        return "cannot create a FUSE session";
    if (fuse_session_mount(session_, path.c_str()) != 0)
        return "cannot mount a FUSE filesystem over " + path;
    mounted_ = true;
    return "";
}

int FuseDevice::daemonize(bool foreground)
{
    return fuse_daemonize(foreground ? 1 : 0);
}

bool FuseDevice::startServing(uid_t uid)
{
    if (uid == 0)
        return true;
    std::lock_guard<std::mutex> hold(servingLock_);
    try {
        unsigned &count = servingByUid_[uid];
        if (count >= perUser_)
            return false;
        ++count;
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void FuseDevice::endServing(uid_t uid)
{
    if (uid == 0)
        return;
    std::lock_guard<std::mutex> hold(servingLock_);
    auto it = servingByUid_.find(uid);
    if (it != servingByUid_.end() && --it->second == 0)
        servingByUid_.erase(it);
}

void FuseDevice::unmount()
{
    if (mounted_)
        fuse_session_unmount(session_);
    mounted_ = false;
}

void FuseDevice::replyIoctl(Token token, const void *out, size_t size)
{
    replyIoctlResult(token, 0, out, size);
}

void FuseDevice::replyIoctlResult(Token token, int result, const void *out,
                                  size_t size)
{
    fuse_reply_ioctl(requestOf(token), result, out, size);
}

void FuseDevice::replyError(Token token, int err)
{
    fuse_reply_err(requestOf(token), err);
}

void FuseDevice::keep(Token token)
{
    fuse_req_interrupt_func(requestOf(token), onInterrupt, this);
}

} // namespace zelkd
