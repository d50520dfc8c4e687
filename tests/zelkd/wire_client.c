/* A client of the library's driver code, built for another architecture
 * (armhf, run under emulation) to show what its requests look like on the
 * wire. It stands in for the device: open, ioctl and close are its own, and
 * each prints one line that zelkd's core, in the test, replays:
 *   open FD | ioctl FD CODE RECORD-IN-HEX (- for none) | close FD
 * A receive comes back as a driver's would, with message id 1. */
#define _GNU_SOURCE
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "zelk.h"

int open(const char *path, int flags, ...)
{
    (void)path;
    (void)flags;
    const int fd = dup(STDERR_FILENO);
    printf("open %d\n", fd);
    return fd;
}

int close(int fd)
{
    printf("close %d\n", fd);
    return (int)syscall(SYS_close, fd);
}

int ioctl(int fd, unsigned long code, ...)
{
    va_list args;
    va_start(args, code);
    unsigned char *record = va_arg(args, unsigned char *);
    va_end(args);
    const unsigned size = (unsigned)(code >> 16) & 0x3FFF;
    printf("ioctl %d %08lX ", fd, code);
    for (unsigned i = 0; i < size; ++i)
        printf("%02X", record[i]);
    printf("%s\n", size == 0 ? "-" : "");
    if ((code & 0xFF) == 0xE2) { /* receive: message id 1, 14 bytes */
        const uint32_t id = 1, info = 14;
        memcpy(record + 4, &id, 4);
        memcpy(record + 8, &info, 4);
    }
    return 0;
}

int main(void)
{
    static char sent[14] = "from a client";
    static char reply[16];
    static char received[64];
    uint32_t info = 0;
    const int channel = zelkChannelCreate("wire-compat");
    const int connection = zelkConnectAttach("wire-compat");
    zelkMsgSend(connection, sent, sizeof sent, reply, sizeof reply);
    const int receiveId =
        zelkMsgReceive(channel, received, sizeof received, &info);
    zelkMsgReply(receiveId, 7, "pong", 5);
    zelkMemProbe(received, 5, sizeof received, 1);
    zelkConnectDetach(connection);
    zelkChannelDestroy(channel);
    return 0;
}
