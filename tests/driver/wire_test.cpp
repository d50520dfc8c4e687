// What the library puts on the wire and how it reads the answers, seen by a
// recording driver: record bytes, receive-id arithmetic, the send status
// passed through, and memory probe chunking.
#include "zelk.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "driver/compat_run.h"
#include "driver/protocol.h"
#include "driver/recording_driver.h"
#include "support/zelkd_fixture.h"

namespace {

using namespace zelk::protocol;
using zelk::test::WireRequest;

template <typename Record> std::vector<unsigned char> bytesOf(const Record &r)
{
    const auto *p = reinterpret_cast<const unsigned char *>(&r);
    return std::vector<unsigned char>(p, p + sizeof r);
}

class WireTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = zelk::test::enterDriverSandbox();
        if (!why.empty())
            GTEST_SKIP() << why;
        why = driver.start();
        if (!why.empty())
            GTEST_FAIL() << why;
    }

    // The one request that the last call made.
    WireRequest only()
    {
        auto requests = driver.take();
        EXPECT_EQ(1u, requests.size());
        return requests.empty() ? WireRequest{} : requests[0];
    }

    zelk::test::RecordingDriver driver;
};

TEST_F(WireTest, NameRecordsAreZeroFilledAndCutTo255)
{
    ASSERT_GE(zelkChannelCreate("wire"), 0);
    WireRequest request = only();
    EXPECT_EQ(ZELK_IOC_CHANNEL_CREATE, request.code);
    zelkIoChannelCreate create{};
    create.size = 264;
    strcpy(create.name, "wire");
    EXPECT_EQ(bytesOf(create), request.record);

    const std::string longName(300, 'n');
    ASSERT_GE(zelkConnectAttach(longName.c_str()), 0);
    request = only();
    EXPECT_EQ(ZELK_IOC_CONNECT_ATTACH, request.code);
    zelkIoConnectAttach attach{};
    attach.size = 260;
    memset(attach.name, 'n', 255);
    EXPECT_EQ(bytesOf(attach), request.record);

    const int channel = zelkChannelCreate(longName.c_str());
    driver.take();
    EXPECT_EQ(0, zelkChannelDestroy(channel));
    request = only();
    EXPECT_EQ(ZELK_IOC_CHANNEL_DESTROY, request.code);
    EXPECT_TRUE(request.record.empty());
}

TEST_F(WireTest, ReceiveIdsCarryTheChannelAndSixteenBitsOfTheMessageId)
{
    const int created = zelkChannelCreate("ids");
    ASSERT_GE(created, 0);
    const uint64_t handle = only().handle;
    ASSERT_EQ(5, dup2(created, 5)); // channel id 5 names the same channel

    char buffer[80];
    uint32_t info = 0;
    driver.script().messageId = 3;
    driver.script().info = 4000;
    int receiveId = zelkMsgReceive(5, buffer, 77, &info);
    EXPECT_EQ(0x00030005, receiveId);
    EXPECT_EQ(4000u, info);
    WireRequest request = only();
    EXPECT_EQ(ZELK_IOC_MSG_RECEIVE, request.code);
    EXPECT_EQ(handle, request.handle);
    zelkIoMsgReceive receive{};
    receive.size = 24;
    receive.bufferSize = 77;
    receive.buffer = wireAddress(buffer);
    EXPECT_EQ(bytesOf(receive), request.record);

    const char data[10] = "answer";
    EXPECT_EQ(0, zelkMsgReply(receiveId, -9, data, sizeof data));
    request = only();
    EXPECT_EQ(ZELK_IOC_MSG_REPLY, request.code);
    EXPECT_EQ(handle, request.handle);
    zelkIoMsgReply reply{};
    reply.size = 24;
    reply.status = -9;
    reply.messageId = 3;
    reply.dataSize = sizeof data;
    reply.data = wireAddress(data);
    EXPECT_EQ(bytesOf(reply), request.record);

    driver.script().messageId = 0x12345;
    EXPECT_EQ(0x23450005, zelkMsgReceive(5, buffer, 8, nullptr));
    driver.take();
    EXPECT_EQ(0, zelkMsgReply(static_cast<int>(0x80010005u), 0, nullptr, 0));
    request = only();
    EXPECT_EQ(handle, request.handle);
    memcpy(&reply, request.record.data(), sizeof reply);
    EXPECT_EQ(0xFFFF8001u, reply.messageId);
}

TEST_F(WireTest, SendRecordAndStatusPassThrough)
{
    const int connection = zelkConnectAttach("status");
    ASSERT_GE(connection, 0);
    driver.take();
    const char data[5] = "ping";
    char replyBuffer[9];
    EXPECT_EQ(1, zelkMsgSend(connection, data, 5, replyBuffer, 9))
        << "a status the driver leaves untouched";
    WireRequest request = only();
    EXPECT_EQ(ZELK_IOC_MSG_SEND, request.code);
    zelkIoMsgSend send{};
    send.size = 32;
    send.status = 1;
    send.dataSize = 5;
    send.replySize = 9;
    send.data = wireAddress(data);
    send.reply = wireAddress(replyBuffer);
    EXPECT_EQ(bytesOf(send), request.record);

    driver.script().writeStatus = true;
    for (int status : {0, -7, 12345, INT32_MIN}) {
        driver.script().status = status;
        EXPECT_EQ(status, zelkMsgSend(connection, data, 5, replyBuffer, 9));
    }
}

TEST_F(WireTest, ProbesGoInChunksOfAtMost2048Bytes)
{
    static char area[8192];
    const uint64_t base = wireAddress(area);
    auto expectChunks = [&](std::vector<std::pair<uint32_t, uint64_t>> chunks,
                            int mode, int flag) {
        const auto requests = driver.take();
        ASSERT_EQ(chunks.size(), requests.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
            zelkIoMemProbe probe{};
            probe.size = 24;
            probe.mode = static_cast<uint32_t>(mode);
            probe.length = chunks[i].first;
            probe.flag = static_cast<uint32_t>(flag);
            probe.address = base + chunks[i].second;
            EXPECT_EQ(ZELK_IOC_MEM_PROBE, requests[i].code);
            EXPECT_EQ(bytesOf(probe), requests[i].record) << "chunk " << i;
        }
    };
    EXPECT_EQ(0, zelkMemProbe(area, 5, 0, 1));
    expectChunks({}, 5, 1);
    EXPECT_EQ(0, zelkMemProbe(area, 5, 64, 1));
    expectChunks({{64, 0}}, 5, 1);
    EXPECT_EQ(0, zelkMemProbe(area, 5, 2048, 1));
    expectChunks({{2048, 0}}, 5, 1);
    EXPECT_EQ(0, zelkMemProbe(area, 0x12345678, 2049, -2));
    expectChunks({{2048, 0}, {1, 2048}}, 0x12345678, -2);
    EXPECT_EQ(0, zelkMemProbe(area, 3, 5000, 0));
    expectChunks({{2048, 0}, {2048, 2048}, {904, 4096}}, 3, 0);

    // A refused chunk ends the probe with the driver's result.
    driver.script().probeFailsAt = 0;
    errno = 0;
    EXPECT_EQ(-1, zelkMemProbe(area, 1, 5000, 0));
    EXPECT_EQ(EFAULT, errno);
    expectChunks({{2048, 0}}, 1, 0);
    driver.script().probeFailsAt = 1;
    EXPECT_EQ(-1, zelkMemProbe(area, 1, 5000, 0));
    expectChunks({{2048, 0}, {2048, 2048}}, 1, 0);
    driver.script().probeFailsAt = -1;
    driver.script().probeResult = 7;
    EXPECT_EQ(7, zelkMemProbe(area, 1, 5000, 0));
    expectChunks({{2048, 0}}, 1, 0);
}

TEST_F(WireTest, ThirtyTwoBitRecordsHaveZeroUpperAddressWords)
{
    if (zelk::test::compatClientPath() == nullptr)
        GTEST_SKIP() << "no 32-bit client in this build (it needs an "
                        "unsanitized x86_64 build with -m32 support)";
    zelk::test::CompatClient client("wire32");
    EXPECT_EQ("send 1 \nprobe 0\nbad probe 0 -\ndetach 0\nexit 0",
              client.finish());
    const auto requests = driver.take();
    ASSERT_EQ(5u, requests.size());
    const uint32_t codes[] = {ZELK_IOC_CONNECT_ATTACH, ZELK_IOC_MSG_SEND,
                              ZELK_IOC_MEM_PROBE, ZELK_IOC_MEM_PROBE,
                              ZELK_IOC_CONNECT_DETACH};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(codes[i], requests[i].code);
        EXPECT_EQ(1u, requests[i].flags) << "not a compat ioctl: " << i;
    }
    auto word = [](const WireRequest &request, size_t offset) {
        uint32_t value = 0xFFFFFFFF;
        memcpy(&value, request.record.data() + offset, 4);
        return value;
    };
    EXPECT_EQ(0u, word(requests[1], 20));
    EXPECT_EQ(0u, word(requests[1], 28));
    EXPECT_NE(0u, word(requests[1], 16));
    EXPECT_EQ(0u, word(requests[2], 20));
}

} // namespace
