// The recording driver; see recording_driver.h. Its log and script live in
// a shared anonymous mapping: the child writes a request's entry before it
// answers, so the caller reads it after its own call has returned.
#include "driver/recording_driver.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/protocol.h"
#include "fuse_device.h"
#include "support/child.h"
#include "support/zelkd_fixture.h"

namespace zelk::test {

using namespace zelk::protocol;

namespace {

constexpr int kMaxEntries = 64;
constexpr size_t kMaxRecord = 264;

} // namespace

struct RecordingDriver::Shared {
    WireScript script;
    std::atomic<int> count;
    int probes; // probe requests so far, child only
    struct Entry {
        uint32_t code;
        uint32_t flags;
        uint64_t handle;
        uint32_t size;
        unsigned char bytes[kMaxRecord];
    } entries[kMaxEntries];
};

namespace {

class Recorder final : public zelkd::DeviceHandler {
public:
    Recorder(zelkd::FuseDevice &device, RecordingDriver::Shared &shared)
        : device_(device), shared_(shared)
    {
    }
    uint64_t open() override { return ++handles_; }
    void release(uint64_t) override {}
    void interrupt(zelkd::Token) override {}
    void shutdown(int) override {}

    void ioctl(zelkd::Token token, uint64_t handle, const zelkd::Caller &caller,
               uint32_t code, const void *in, size_t inSize,
               size_t outSize) override
    {
        const int index = shared_.count.load();
        if (index < kMaxEntries && inSize <= kMaxRecord) {
            auto &entry = shared_.entries[index];
            entry.code = code;
            entry.handle = handle;
            entry.flags = caller.compat ? 1 : 0;
            entry.size = static_cast<uint32_t>(inSize);
            if (inSize != 0)
                memcpy(entry.bytes, in, inSize);
            shared_.count.store(index + 1);
        }
        const WireScript &script = shared_.script;
        unsigned char out[kMaxRecord] = {};
        if (inSize != 0 && outSize != 0)
            memcpy(out, in, inSize < outSize ? inSize : outSize);
        switch (code) {
        case ZELK_IOC_MSG_RECEIVE: {
            auto *rec = reinterpret_cast<zelkIoMsgReceive *>(out);
            rec->messageId = script.messageId;
            rec->info = script.info;
            return device_.replyIoctl(token, out, outSize);
        }
        case ZELK_IOC_MSG_SEND:
            if (!script.writeStatus) // nothing goes back to the caller
                return device_.replyIoctl(token, nullptr, 0);
            reinterpret_cast<zelkIoMsgSend *>(out)->status = script.status;
            return device_.replyIoctl(token, out, outSize);
        case ZELK_IOC_MEM_PROBE:
            if (shared_.probes++ == script.probeFailsAt)
                return device_.replyError(token, EFAULT);
            return device_.replyIoctlResult(token, script.probeResult, nullptr,
                                            0);
        default:
            return device_.replyIoctl(token, out, outSize);
        }
    }

private:
    zelkd::FuseDevice &device_;
    RecordingDriver::Shared &shared_;
    uint64_t handles_ = 0;
};

bool answers(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    const int rc = ioctl(fd, ZELK_IOC_CONNECT_DETACH, 0);
    close(fd);
    return rc == 0; // the recorder accepts anything; a plain file does not
}

} // namespace

RecordingDriver::RecordingDriver()
{
    void *area = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (area != MAP_FAILED)
        shared_ = new (area) Shared{};
}

RecordingDriver::~RecordingDriver()
{
    stop();
    if (shared_ != nullptr)
        munmap(shared_, sizeof(Shared));
}

std::string RecordingDriver::start(const std::string &path)
{
    if (shared_ == nullptr)
        return "no shared memory for the log";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return "cannot create " + path + ": " + strerror(errno);
    close(fd);
    pid_ = forkChild([&] {
        zelkd::FuseDevice device;
        Recorder recorder(device, *shared_);
        if (!device.mount(path, zelkd::FileAttributes{}).empty())
            _exit(1);
        device.run(recorder);
        device.unmount();
        _exit(0);
    });
    if (pid_ < 0)
        return std::string("fork: ") + strerror(errno);
    const std::string why = awaitReady(
        pid_, [&] { return answers(path); }, "the recording driver");
    if (!why.empty())
        return why;
    take(); // the readiness check's request
    return "";
}

void RecordingDriver::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

WireScript &RecordingDriver::script()
{
    return shared_->script;
}

std::vector<WireRequest> RecordingDriver::take()
{
    std::vector<WireRequest> requests;
    const int count = shared_->count.load();
    for (int i = 0; i < count; ++i) {
        const auto &entry = shared_->entries[i];
        requests.push_back(WireRequest{
            entry.code, entry.handle, entry.flags,
            std::vector<unsigned char>(entry.bytes, entry.bytes + entry.size)});
    }
    shared_->count.store(0);
    shared_->probes = 0;
    return requests;
}

} // namespace zelk::test
