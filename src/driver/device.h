// Opening and closing descriptors on the driver's device file.
#ifndef ZELK_DRIVER_DEVICE_H
#define ZELK_DRIVER_DEVICE_H

#include <fcntl.h>
#include <unistd.h>

#include "common/status.h"
#include "driver/protocol.h"

namespace zelk::detail {

// A descriptor that the application will own (a channel or a connection).
inline int openDevice()
{
    return open(protocol::kDevicePath, O_RDWR);
}

// A descriptor used only for the length of one call.
inline int openDeviceForCall()
{
    return open(protocol::kDevicePath, O_RDWR | O_CLOEXEC);
}

// Closes fd on a failure path without replacing the error being reported.
inline void closeKeepingErrno(int fd)
{
    const ErrnoSaver keep;
    close(fd);
}

} // namespace zelk::detail

#endif
