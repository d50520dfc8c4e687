// The FUSE adapter: a one-file filesystem whose root is a regular file
// mounted over the device path. Opens, releases, ioctls and interrupts are
// handed to a DeviceHandler; its answers go back as FUSE replies. A few
// threads each read and serve requests; no thread per waiting caller.
#ifndef ZELKD_FUSE_DEVICE_H
#define ZELKD_FUSE_DEVICE_H

#include <mutex>
#include <string>
#include <unordered_map>

#include <sys/types.h>

#include "device_handler.h"
#include "serving_priority.h"

struct fuse_session;

namespace zelkd {

struct FileAttributes {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0666;
};

class FuseDevice final : public ReplySink {
public:
    FuseDevice() = default;
    ~FuseDevice();
    FuseDevice(const FuseDevice &) = delete;
    FuseDevice &operator=(const FuseDevice &) = delete;

    // Mounts over path (a regular file that must exist) with allow_other
    // and default_permissions. Returns "" or why it could not.
    std::string mount(const std::string &path, const FileAttributes &attrs);

    // Detaches from the terminal unless foreground; the mount stays.
    static int daemonize(bool foreground);

    // Serves requests until SIGTERM or SIGINT (or a fatal error of
    // the FUSE channel), then answers every kept request with ENOTCONN.
    // Each request is served on the thread that read it. One thread reads
    // at a time; when a request takes long, another (up to threads in all)
    // takes over reading, so with more than one the handler must take calls
    // from several threads.
    // Returns 0, or a negative error number from the loop.
    int run(DeviceHandler &handler, unsigned threads = 1);

    // How many threads run() left behind, stuck in a request (a copy of
    // caller memory that does not end). The process must then end with
    // _exit() rather than tear down what they use.
    unsigned stuckThreads() const { return stuck_; }

    // Reads each ioctl caller's priority through scheduling for the
    // handler; with serving, also serves the request at that priority.
    // Both must outlive run().
    void usePriorities(Scheduling &scheduling, ServingPriority *serving)
    {
        scheduling_ = &scheduling;
        serving_ = serving;
    }

    // Unmounts; later calls on the device fail with ENOTCONN.
    void unmount();

    void replyIoctl(Token token, const void *out, size_t size) override;
    // As replyIoctl, with result as the ioctl's return value.
    void replyIoctlResult(Token token, int result, const void *out,
                          size_t size);
    void replyError(Token token, int err) override;
    void keep(Token token) override;

    // Used by the FUSE callbacks.
    DeviceHandler *handler() const { return handler_; }
    const FileAttributes &attributes() const { return attrs_; }
    Priority callerPriority(pid_t tid) const;
    ServingPriority *serving() const { return serving_; }
    // A thread starts or ends serving an ioctl of user uid. Starting fails
    // when that user already holds a quarter of the threads (root never
    // does): requests stuck in one user's memory must leave threads for
    // everybody else.
    bool startServing(uid_t uid);
    void endServing(uid_t uid);

private:
    fuse_session *session_ = nullptr;
    bool mounted_ = false;
    DeviceHandler *handler_ = nullptr;
    FileAttributes attrs_;
    unsigned stuck_ = 0;
    Scheduling *scheduling_ = nullptr;
    ServingPriority *serving_ = nullptr;
    unsigned perUser_ = 1; // threads one user may hold; set by run()
    std::mutex servingLock_;
    std::unordered_map<uid_t, unsigned> servingByUid_; // guarded by servingLock_
};

} // namespace zelkd

#endif
