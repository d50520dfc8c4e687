// Requests of a 32-bit ARM client, as its build of the library's driver
// code puts them on the wire (wire_client.c, run under emulation), replayed
// into zelkd's core as compat ioctls: a whole exchange must decode and be
// served as it would be for a 64-bit caller.
#include "core.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/protocol.h"

namespace {

using namespace zelk::protocol;
using Bytes = std::vector<unsigned char>;

// The client's memory: the areas it hands to the driver, by address.
class AreaMemory final : public zelkd::MemoryAccess {
public:
    void place(uint64_t address, Bytes bytes) { areas_[address] = bytes; }
    Bytes at(uint64_t address) const
    {
        auto it = areas_.find(address);
        return it == areas_.end() ? Bytes{} : it->second;
    }
    int read(pid_t, uint64_t address, void *to, size_t size) override
    {
        unsigned char *area = find(address, size);
        if (area == nullptr)
            return EFAULT;
        memcpy(to, area, size);
        return 0;
    }
    int write(pid_t, uint64_t address, const void *from, size_t size) override
    {
        unsigned char *area = find(address, size);
        if (area == nullptr)
            return EFAULT;
        memcpy(area, from, size);
        return 0;
    }
    int probe(pid_t, uint64_t address, size_t size, bool, bool) override
    {
        return find(address, size) != nullptr ? 0 : EFAULT;
    }

private:
    unsigned char *find(uint64_t address, size_t size)
    {
        auto it = areas_.upper_bound(address);
        if (it == areas_.begin())
            return nullptr;
        --it;
        const uint64_t offset = address - it->first;
        if (offset + size > it->second.size())
            return nullptr;
        return it->second.data() + offset;
    }
    std::map<uint64_t, Bytes> areas_;
};

class Answers final : public zelkd::ReplySink {
public:
    void replyIoctl(zelkd::Token token, const void *out, size_t size) override
    {
        const auto *bytes = static_cast<const unsigned char *>(out);
        results[token] = {0, Bytes(bytes, bytes + size)};
    }
    void replyError(zelkd::Token token, int err) override
    {
        results[token] = {err, {}};
    }
    void keep(zelkd::Token) override {}
    std::map<zelkd::Token, std::pair<int, Bytes>> results;
};

struct Request {
    int fd = -1;
    std::string what; // open, ioctl or close
    uint32_t code = 0;
    Bytes record;
};

[[maybe_unused]] std::vector<Request> runClient(const char *command)
{
    std::vector<Request> requests;
    FILE *out = popen(command, "r");
    if (out == nullptr)
        return requests;
    char line[1024];
    while (fgets(line, sizeof line, out) != nullptr) {
        std::istringstream words(line);
        Request r;
        std::string hex;
        words >> r.what >> r.fd;
        if (r.what == "ioctl") {
            words >> std::hex >> r.code >> hex;
            for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2)
                r.record.push_back(static_cast<unsigned char>(
                    std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        requests.push_back(r);
    }
    EXPECT_EQ(0, pclose(out)) << command;
    return requests;
}

template <typename Record> Record as(const Bytes &bytes)
{
    Record rec{};
    EXPECT_EQ(sizeof rec, bytes.size());
    memcpy(&rec, bytes.data(), std::min(sizeof rec, bytes.size()));
    return rec;
}

[[maybe_unused]] Bytes text(const char *s, size_t size)
{
    return Bytes(s, s + size);
}

TEST(CompatRecordsTest, AnArmhfClientsExchangeDecodesAsCompatIoctls)
{
#ifndef ZELK_WIRE_CLIENT_ARMHF
    GTEST_SKIP() << "no armhf client in this build (it needs "
                    "arm-linux-gnueabihf-g++ and qemu-arm)";
#else
    const auto requests = runClient(ZELK_WIRE_CLIENT_ARMHF);
    std::vector<uint32_t> codes;
    for (const auto &r : requests)
        if (r.what == "ioctl")
            codes.push_back(r.code);
    ASSERT_EQ(
        (std::vector<uint32_t>{
            ZELK_IOC_CHANNEL_CREATE, ZELK_IOC_CONNECT_ATTACH, ZELK_IOC_MSG_SEND,
            ZELK_IOC_MSG_RECEIVE, ZELK_IOC_MSG_REPLY, ZELK_IOC_MEM_PROBE,
            ZELK_IOC_CONNECT_DETACH, ZELK_IOC_CHANNEL_DESTROY}),
        codes);

    // The client's areas, at the addresses its records name.
    AreaMemory memory;
    auto recordOf = [&requests](uint32_t code) {
        for (const auto &r : requests)
            if (r.what == "ioctl" && r.code == code)
                return r.record;
        return Bytes{};
    };
    const auto send = as<zelkIoMsgSend>(recordOf(ZELK_IOC_MSG_SEND));
    const auto receive = as<zelkIoMsgReceive>(recordOf(ZELK_IOC_MSG_RECEIVE));
    const auto reply = as<zelkIoMsgReply>(recordOf(ZELK_IOC_MSG_REPLY));
    for (uint64_t address : {send.data, send.reply, receive.buffer, reply.data})
        EXPECT_LT(address, 1ull << 32) << "upper address word not 0";
    memory.place(send.data, text("from a client", 14));
    memory.place(send.reply, Bytes(16, 0xEE));
    memory.place(receive.buffer, Bytes(64, 0xEE));
    memory.place(reply.data, text("pong", 5));

    Answers answers;
    zelkd::Core core(answers, memory, zelkd::Limits{});
    const zelkd::Caller caller{4242, 1000, 1000, true};
    std::map<int, uint64_t> handles;
    zelkd::Token token = 0;
    for (const auto &r : requests) {
        if (r.what == "open") {
            handles[r.fd] = core.open();
        } else if (r.what == "close") {
            core.release(handles.at(r.fd));
        } else {
            const size_t out = (r.code >> 30) == 3 ? r.record.size() : 0;
            core.ioctl(++token, handles.at(r.fd), caller, r.code,
                       r.record.data(), r.record.size(), out);
        }
    }

    // Every request served: create, attach, the send (answered by the
    // reply), receive, reply, probe, detach, destroy.
    ASSERT_EQ(8u, answers.results.size());
    for (const auto &[t, result] : answers.results)
        EXPECT_EQ(0, result.first)
            << "request " << t << ": " << strerror(result.first);
    const auto received = as<zelkIoMsgReceive>(answers.results[4].second);
    EXPECT_EQ(1u, received.messageId);
    EXPECT_EQ(14u, received.info);
    EXPECT_EQ(7, as<zelkIoMsgSend>(answers.results[3].second).status);
    Bytes expected = text("from a client", 14);
    expected.resize(64, 0xEE);
    EXPECT_EQ(expected, memory.at(receive.buffer));
    expected = text("pong", 5);
    expected.resize(16, 0xEE);
    EXPECT_EQ(expected, memory.at(send.reply));
#endif
}

} // namespace
