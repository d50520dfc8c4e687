// A test-only driver: serves the device with zelkd's FUSE adapter in a
// child process, logs every request's code and record bytes, and answers
// with scripted values. It shows what the library puts on the wire and how
// it reads answers that the real daemon never gives.
#ifndef ZELK_TESTS_DRIVER_RECORDING_DRIVER_H
#define ZELK_TESTS_DRIVER_RECORDING_DRIVER_H

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zelk::test {

struct WireRequest {
    uint32_t code = 0;
    uint64_t handle = 0; // names the open file the request came on
    uint32_t flags = 0;  // 1 for a 32-bit caller (a compat ioctl)
    std::vector<unsigned char> record;
};

// What the driver answers, set by the test before each call.
struct WireScript {
    uint32_t messageId = 0;   // written into each receive record
    uint32_t info = 0;        // written into each receive record
    bool writeStatus = false; // a send's record comes back with status
    int32_t status = 0;
    int probeFailsAt = -1; // 0-based probe request refused with EFAULT
    int probeResult = 0;   // result of the others (0 or a positive value)
};

class RecordingDriver {
public:
    RecordingDriver();
    ~RecordingDriver();
    RecordingDriver(const RecordingDriver &) = delete;
    RecordingDriver &operator=(const RecordingDriver &) = delete;

    // Serves path (created when missing) from a child process. Returns ""
    // or why not.
    std::string start(const std::string &path = "/dev/zelk");
    void stop();

    WireScript &script();
    // Every request since the last take(), in order; clears the log.
    std::vector<WireRequest> take();

    struct Shared; // the log and script, shared with the serving child

private:
    Shared *shared_ = nullptr;
    pid_t pid_ = -1;
};

} // namespace zelk::test

#endif
