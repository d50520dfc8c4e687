// The contract between the library and the driver behind the device file:
// its path, the eight request codes and their records, byte for byte. zelkd
// includes this same file. Records are little-endian with no gaps and start
// with their own size; addresses travel as 64-bit numbers, so the records
// are identical for 32-bit and 64-bit callers.
#ifndef ZELK_DRIVER_PROTOCOL_H
#define ZELK_DRIVER_PROTOCOL_H

#include <cstddef>
#include <cstdint>

#include <sys/ioctl.h>

namespace zelk::protocol {

// Every request goes through a descriptor opened with O_RDWR on this file.
inline constexpr const char kDevicePath[] = "/dev/zelk";

inline constexpr uint32_t kNameBytes = 256;    // name field, terminator included
inline constexpr uint32_t kProbeChunkMax = 2048; // bytes per probe request
inline constexpr unsigned kIocType = 0x50;

struct zelkIoChannelCreate {
    uint32_t size; // 264
    char name[kNameBytes];
    uint32_t reserved; // always 0
};

struct zelkIoConnectAttach {
    uint32_t size; // 260
    char name[kNameBytes];
};

struct zelkIoMsgReceive {
    uint32_t size;       // 24
    uint32_t messageId;  // out
    uint32_t info;       // out: the size the client sent
    uint32_t bufferSize; // in
    uint64_t buffer;     // in: where the message goes
};

struct zelkIoMsgReply {
    uint32_t size; // 24
    int32_t status;
    uint32_t messageId;
    uint32_t dataSize;
    uint64_t data;
};

struct zelkIoMsgSend {
    uint32_t size;   // 32
    int32_t status;  // sent as 1; out: the reply's status
    uint32_t dataSize;
    uint32_t replySize;
    uint64_t data;
    uint64_t reply;
};

struct zelkIoMemProbe {
    uint32_t size; // 24
    uint32_t mode; // bit 0: read access, bit 1: write access
    uint32_t length; // 1 to kProbeChunkMax
    uint32_t flag;
    uint64_t address;
};

// Request codes in the Linux ioctl encoding: direction, record size, type
// 0x50, number. "_IOW" records go to the driver only; "_IOWR" come back.
inline constexpr unsigned long ZELK_IOC_CHANNEL_CREATE =
    _IOW(kIocType, 0xE0, zelkIoChannelCreate);
inline constexpr unsigned long ZELK_IOC_CHANNEL_DESTROY = _IO(kIocType, 0xE1);
inline constexpr unsigned long ZELK_IOC_MSG_RECEIVE =
    _IOWR(kIocType, 0xE2, zelkIoMsgReceive);
inline constexpr unsigned long ZELK_IOC_MSG_REPLY =
    _IOWR(kIocType, 0xE3, zelkIoMsgReply);
inline constexpr unsigned long ZELK_IOC_CONNECT_ATTACH =
    _IOW(kIocType, 0xE4, zelkIoConnectAttach);
inline constexpr unsigned long ZELK_IOC_CONNECT_DETACH = _IO(kIocType, 0xE5);
inline constexpr unsigned long ZELK_IOC_MSG_SEND =
    _IOWR(kIocType, 0xE6, zelkIoMsgSend);
inline constexpr unsigned long ZELK_IOC_MEM_PROBE =
    _IOW(kIocType, 0xED, zelkIoMemProbe);

static_assert(ZELK_IOC_CHANNEL_CREATE == 0x410850E0);
static_assert(ZELK_IOC_CHANNEL_DESTROY == 0x000050E1);
static_assert(ZELK_IOC_MSG_RECEIVE == 0xC01850E2);
static_assert(ZELK_IOC_MSG_REPLY == 0xC01850E3);
static_assert(ZELK_IOC_CONNECT_ATTACH == 0x410450E4);
static_assert(ZELK_IOC_CONNECT_DETACH == 0x000050E5);
static_assert(ZELK_IOC_MSG_SEND == 0xC02050E6);
static_assert(ZELK_IOC_MEM_PROBE == 0x401850ED);

// The records below are checked on every architecture the library builds
// for. Each 8-byte field sits at an offset that is a multiple of 8 and each
// record's size is one too, so the 4-byte alignment of i686 and the 8-byte
// alignment of armhf and the 64-bit platforms give the same bytes: one
// 64-bit daemon serves every 32-bit caller through compat ioctls.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the records travel little-endian, as the host stores them");
static_assert(sizeof(zelkIoChannelCreate) == 264);
static_assert(offsetof(zelkIoChannelCreate, name) == 4);
static_assert(offsetof(zelkIoChannelCreate, reserved) == 260);

static_assert(sizeof(zelkIoConnectAttach) == 260);
static_assert(offsetof(zelkIoConnectAttach, name) == 4);

static_assert(sizeof(zelkIoMsgReceive) == 24);
static_assert(offsetof(zelkIoMsgReceive, messageId) == 4);
static_assert(offsetof(zelkIoMsgReceive, info) == 8);
static_assert(offsetof(zelkIoMsgReceive, bufferSize) == 12);
static_assert(offsetof(zelkIoMsgReceive, buffer) == 16);

static_assert(sizeof(zelkIoMsgReply) == 24);
static_assert(offsetof(zelkIoMsgReply, status) == 4);
static_assert(offsetof(zelkIoMsgReply, messageId) == 8);
static_assert(offsetof(zelkIoMsgReply, dataSize) == 12);
static_assert(offsetof(zelkIoMsgReply, data) == 16);

static_assert(sizeof(zelkIoMsgSend) == 32);
static_assert(offsetof(zelkIoMsgSend, status) == 4);
static_assert(offsetof(zelkIoMsgSend, dataSize) == 8);
static_assert(offsetof(zelkIoMsgSend, replySize) == 12);
static_assert(offsetof(zelkIoMsgSend, data) == 16);
static_assert(offsetof(zelkIoMsgSend, reply) == 24);

static_assert(sizeof(zelkIoMemProbe) == 24);
static_assert(offsetof(zelkIoMemProbe, mode) == 4);
static_assert(offsetof(zelkIoMemProbe, length) == 8);
static_assert(offsetof(zelkIoMemProbe, flag) == 12);
static_assert(offsetof(zelkIoMemProbe, address) == 16);

// A caller's address as it travels in a record.
inline uint64_t wireAddress(const void *p)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
}

} // namespace zelk::protocol

#endif
