// The memory probe: asks the driver, chunk by chunk, whether a range of the
// caller's memory may be accessed, without touching it.
#include "zelk.h"

#include <sys/ioctl.h>

#include "driver/device.h"

using namespace zelk::protocol;

int zelkMemProbe(const void *address, int mode, uint32_t length, int flag)
{
    zelkIoMemProbe record{};
    record.size = sizeof record;
    record.mode = static_cast<uint32_t>(mode);
    record.flag = static_cast<uint32_t>(flag);

    // The device is opened first, so even an empty range fails without it.
    const int fd = zelk::detail::openDeviceForCall();
    if (fd < 0)
        return -1;

    uint64_t start = wireAddress(address);
    int result = 0;
    while (length > 0 && result == 0) {
        const uint32_t chunk = length > kProbeChunkMax ? kProbeChunkMax : length;
        record.length = chunk;
        record.address = start;
        result = ioctl(fd, ZELK_IOC_MEM_PROBE, &record);
        start += chunk;
        length -= chunk;
    }
    zelk::detail::closeKeepingErrno(fd);
    return result;
}
