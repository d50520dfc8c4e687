// Channels and connections: each is a descriptor on the device file that the
// driver ties to a name with a create or attach request.
#include "zelk.h"

#include <cstring>

#include <sys/ioctl.h>

#include "driver/device.h"

using namespace zelk::protocol;
using zelk::detail::closeKeepingErrno;
using zelk::detail::fail;

namespace {

// Copies at most 255 characters of name into a zeroed name field, so the
// name always reaches the driver terminated.
void copyName(char (&field)[kNameBytes], const char *name)
{
    memcpy(field, name, strnlen(name, kNameBytes - 1));
}

// Opens a descriptor and issues the naming request on it; the descriptor is
// the result, or it is closed again when the driver refuses.
template <typename Record>
int openNamed(unsigned long code, const char *name)
{
    if (name == nullptr)
        return fail(EINVAL);
    const int fd = zelk::detail::openDevice();
    if (fd < 0)
        return -1;
    Record record{};
    record.size = sizeof record;
    copyName(record.name, name);
    if (ioctl(fd, code, &record) == -1) {
        closeKeepingErrno(fd);
        return -1;
    }
    return fd;
}

// Issues a release request and closes the descriptor in every case. Either
// failure makes the result -1; errno is close's if it failed.
int releaseAndClose(int fd, unsigned long code)
{
    const int requested = ioctl(fd, code, 0);
    const int closed = close(fd);
    return requested | closed;
}

} // namespace

int zelkChannelCreate(const char *name)
{
    return openNamed<zelkIoChannelCreate>(ZELK_IOC_CHANNEL_CREATE, name);
}

int zelkChannelDestroy(int channelId)
{
    return releaseAndClose(channelId, ZELK_IOC_CHANNEL_DESTROY);
}

int zelkConnectAttach(const char *name)
{
    return openNamed<zelkIoConnectAttach>(ZELK_IOC_CONNECT_ATTACH, name);
}

int zelkConnectDetach(int connectionId)
{
    return releaseAndClose(connectionId, ZELK_IOC_CONNECT_DETACH);
}
