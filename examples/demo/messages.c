/* Message passing: a server and a client process through the zelkd driver. */
#include "demo.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

/* The client: three requests on a connection to the "demo" channel. */
static void runClient(void)
{
    const int connection = zelkConnectAttach("demo");
    if (connection < 0) {
        zelkLog(0, "client: attach failed: %s\n", strerror(errno));
        return;
    }
    for (int i = 1; i <= 3; ++i) {
        char request[32];
        char reply[64] = "";
        snprintf(request, sizeof request, "question %d", i);
        const int status = zelkMsgSend(connection, request,
                                       (uint32_t)strlen(request) + 1, reply,
                                       sizeof reply);
        zelkLog(0, "  client %d: got \"%s\", status %d\n", (int)getpid(),
                reply, status);
    }
    zelkConnectDetach(connection);
}

void showMessages(void)
{
    const int channel = zelkChannelCreate("demo");
    if (channel < 0) {
        zelkLog(0, "no driver (%s): start zelkd, or run scripts/demo.sh\n",
                strerror(errno));
        return;
    }
    fflush(stdout);
    const pid_t client = fork();
    if (client == 0) {
        runClient();
        _exit(0);
    }
    for (int i = 1; i <= 3 && client > 0; ++i) {
        char buffer[64] = "";
        uint32_t size = 0;
        const int receiveId =
            zelkMsgReceive(channel, buffer, sizeof buffer, &size);
        if (receiveId < 0) {
            zelkLog(0, "receive failed: %s\n", strerror(errno));
            break;
        }
        /* A receive id is the channel id in its low 16 bits and the
         * driver's message id above them. */
        zelkLog(0,
                "  server %d: \"%s\" (%u bytes), receive id 0x%08x "
                "(message %u on channel %u)\n",
                (int)getpid(), buffer, size, (unsigned)receiveId,
                (unsigned)receiveId >> 16, (unsigned)receiveId & 0xFFFFu);
        char answer[64];
        snprintf(answer, sizeof answer, "answer %d", i);
        zelkMsgReply(receiveId, 100 + i, answer, (uint32_t)strlen(answer) + 1);
    }
    if (client > 0)
        waitpid(client, NULL, 0);
    zelkChannelDestroy(channel);

    const char name[64] = "a thread name";
    const int readable = zelkMemProbe(name, 5, sizeof name, 1);
    const int unmapped = zelkMemProbe((const void *)16, 1, 64, 0);
    zelkLog(0, "memory probe: a local buffer -> %d, address 16 -> %d (%s)\n",
            readable, unmapped, strerror(errno));
}
