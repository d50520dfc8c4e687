// Send, receive and reply: one request each, on the caller's connection or
// channel descriptor. A receive id carries the channel id in its low 16 bits
// and the driver's message id in its high 16 bits. Each call is framed by an
// entry and a return tracepoint.
#include "zelk.h"

#include <cerrno>

#include <sys/ioctl.h>

#include "common/status.h"
#include "common/trace.h"
#include "driver/protocol.h"

using namespace zelk::protocol;

int zelkMsgReceive(int channelId, void *buffer, uint32_t size, uint32_t *info)
{
    // A receive id has 16 bits for the channel id. A larger one would take
    // a message whose reply then goes to another descriptor: refuse it
    // before anything is received.
    ZELK_PROBE(zelk, receive_entry, channelId, size);
    if (channelId > 0xFFFF)
        return zelk::detail::fail(EBADF);
    zelkIoMsgReceive record{};
    record.size = sizeof record;
    record.bufferSize = size;
    record.buffer = wireAddress(buffer);
    if (ioctl(channelId, ZELK_IOC_MSG_RECEIVE, &record) == -1) {
        ZELK_PROBE(zelk, receive_return, channelId, -1, errno, 0);
        return -1;
    }
    if (info != nullptr)
        *info = record.info;
    const int receiveId = static_cast<int>((record.messageId << 16) |
                                           static_cast<uint32_t>(channelId));
    ZELK_PROBE(zelk, receive_return, channelId, receiveId, 0, record.info);
    return receiveId;
}

int zelkMsgReply(int receiveId, int status, const void *data, uint32_t size)
{
    ZELK_PROBE(zelk, reply_entry, receiveId, status, size);
    zelkIoMsgReply record{};
    record.size = sizeof record;
    record.status = status;
    // The message id comes back sign-extended from the top 16 bits.
    record.messageId = static_cast<uint32_t>(receiveId >> 16);
    record.dataSize = size;
    record.data = wireAddress(data);
    const int channelId = receiveId & 0xFFFF;
    const int rc = ioctl(channelId, ZELK_IOC_MSG_REPLY, &record) == -1 ? -1 : 0;
    ZELK_PROBE(zelk, reply_return, receiveId, rc, rc == 0 ? 0 : errno);
    return rc;
}

int zelkMsgSend(int connectionId, const void *data, uint32_t size, void *reply,
                uint32_t replySize)
{
    ZELK_PROBE(zelk, send_entry, connectionId, size, replySize);
    zelkIoMsgSend record{};
    record.size = sizeof record;
    record.status = 1;
    record.dataSize = size;
    record.replySize = replySize;
    record.data = wireAddress(data);
    record.reply = wireAddress(reply);
    if (ioctl(connectionId, ZELK_IOC_MSG_SEND, &record) == -1) {
        ZELK_PROBE(zelk, send_return, connectionId, -1, errno);
        return -1;
    }
    ZELK_PROBE(zelk, send_return, connectionId, record.status, 0);
    return record.status;
}
