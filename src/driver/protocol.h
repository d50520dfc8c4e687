// The contract between the library and the driver behind the device file:
// its path, request codes and request records. zelkd includes this same file.
#ifndef ZELK_DRIVER_PROTOCOL_H
#define ZELK_DRIVER_PROTOCOL_H

namespace zelk::protocol {

// Every request goes through a descriptor opened with O_RDWR on this file.
inline constexpr const char kDevicePath[] = "/dev/zelk";

} // namespace zelk::protocol

#endif
