// A 32-bit client, built with -m32 from the library's own driver sources:
// on a 64-bit kernel its requests reach the driver as compat ioctls.
// Usage: compat_client32 CHANNEL   Sends one message on CHANNEL, probes its
// own memory, and prints one line per result for the test to compare.
#include "zelk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 2 || sizeof(void *) != 4)
        return 2;
    const int connection = zelkConnectAttach(argv[1]);
    if (connection < 0) {
        printf("attach failed: %s\n", strerror(errno));
        return 1;
    }
    char reply[16] = {};
    const int status =
        zelkMsgSend(connection, "from 32 bits", 13, reply, sizeof reply - 1);
    printf("send %d %s\n", status, reply);
    const char name[64] = "a name";
    printf("probe %d\n", zelkMemProbe(name, 5, 64, 1));
    const int bad = zelkMemProbe(reinterpret_cast<void *>(16), 1, 4, 0);
    printf("bad probe %d %s\n", bad, bad == -1 ? strerror(errno) : "-");
    printf("detach %d\n", zelkConnectDetach(connection));
    return 0;
}
