// Channels and connections against a running zelkd: names, lifetimes, and
// what a descriptor may hold.
#include "zelk.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "driver/protocol.h"
#include "support/expect_fails.h"
#include "support/zelkd_fixture.h"

namespace {

using namespace zelk::protocol;
using ChannelTest = zelk::test::ZelkdTest;

TEST_F(ChannelTest, NamesAreUniqueAmongLiveChannels)
{
    const int channel = zelkChannelCreate("alpha");
    ASSERT_GE(channel, 0) << strerror(errno);
    EXPECT_FAILS(EEXIST, zelkChannelCreate("alpha"));
    EXPECT_FAILS(ENOENT, zelkConnectAttach("beta"));
    EXPECT_FAILS(EINVAL, zelkChannelCreate(""));
    EXPECT_FAILS(EINVAL, zelkConnectAttach(""));
    EXPECT_FAILS(EINVAL, zelkChannelCreate(nullptr));

    const int connection = zelkConnectAttach("alpha");
    ASSERT_GE(connection, 0) << strerror(errno);
    EXPECT_EQ(0, zelkChannelDestroy(channel));
    EXPECT_FAILS(ENOENT, zelkConnectAttach("alpha"));

    // The name is free again; the old connection stays tied to the old
    // channel, which is gone.
    const int again = zelkChannelCreate("alpha");
    ASSERT_GE(again, 0) << strerror(errno);
    char reply[4];
    EXPECT_FAILS(EPIPE, zelkMsgSend(connection, "x", 1, reply, sizeof reply));
    EXPECT_EQ(0, zelkConnectDetach(connection));
    EXPECT_EQ(0, zelkChannelDestroy(again));

    // A channel also ends when its descriptor is closed.
    const int closed = zelkChannelCreate("gamma");
    ASSERT_GE(closed, 0);
    close(closed);
    EXPECT_FAILS(ENOENT, zelkConnectAttach("gamma"));
}

TEST_F(ChannelTest, LongNamesAreCutTo255Characters)
{
    const std::string name(300, 'n');
    const int channel = zelkChannelCreate(name.c_str());
    ASSERT_GE(channel, 0) << strerror(errno);
    EXPECT_FAILS(EEXIST, zelkChannelCreate(name.substr(0, 255).c_str()));
    const int full = zelkConnectAttach(name.c_str());
    EXPECT_GE(full, 0) << strerror(errno);
    const int cut = zelkConnectAttach(name.substr(0, 256).c_str());
    EXPECT_GE(cut, 0) << strerror(errno);
    EXPECT_FAILS(ENOENT, zelkConnectAttach(name.substr(0, 254).c_str()));
    EXPECT_EQ(0, zelkConnectDetach(full));
    EXPECT_EQ(0, zelkConnectDetach(cut));
    EXPECT_EQ(0, zelkChannelDestroy(channel));
}

TEST_F(ChannelTest, DestroyAndDetachResults)
{
    const int channel = zelkChannelCreate("ends");
    const int connection = zelkConnectAttach("ends");
    ASSERT_GE(channel, 0);
    ASSERT_GE(connection, 0);
    // The wrong kind of descriptor: refused, and closed all the same.
    EXPECT_FAILS(EBADF, zelkChannelDestroy(connection));
    EXPECT_FAILS(EBADF, fcntl(connection, F_GETFD));
    EXPECT_FAILS(EBADF, zelkConnectDetach(channel));
    EXPECT_FAILS(EBADF, fcntl(channel, F_GETFD));
    // Ids that are not open: both the request and the close fail.
    EXPECT_FAILS(EBADF, zelkChannelDestroy(channel));
    EXPECT_FAILS(EBADF, zelkConnectDetach(1000));
}

TEST_F(ChannelTest, DescriptorHoldsOneThingAndRecordsAreChecked)
{
    const int channel = zelkChannelCreate("one");
    const int connection = zelkConnectAttach("one");
    ASSERT_GE(channel, 0);
    ASSERT_GE(connection, 0);
    char buffer[8];
    EXPECT_FAILS(EBADF, zelkMsgReceive(connection, buffer, 8, nullptr));
    EXPECT_FAILS(EBADF, zelkMsgSend(channel, "x", 1, buffer, 8));
    EXPECT_FAILS(EBADF, zelkMsgReply((1 << 16) | connection, 0, nullptr, 0));

    zelkIoChannelCreate create{};
    create.size = sizeof create;
    memcpy(create.name, "two", 4);
    EXPECT_FAILS(EBADF, ioctl(channel, ZELK_IOC_CHANNEL_CREATE, &create));
    EXPECT_FAILS(EBADF, ioctl(connection, ZELK_IOC_CHANNEL_CREATE, &create));

    const int fd = open("/dev/zelk", O_RDWR);
    ASSERT_GE(fd, 0);
    create.size = 260; // not the record's size
    EXPECT_FAILS(EINVAL, ioctl(fd, ZELK_IOC_CHANNEL_CREATE, &create));
    create.size = sizeof create;
    create.reserved = 1;
    EXPECT_FAILS(EINVAL, ioctl(fd, ZELK_IOC_CHANNEL_CREATE, &create));
    create.reserved = 0;
    memset(create.name, 'x', sizeof create.name); // no terminator
    EXPECT_FAILS(EINVAL, ioctl(fd, ZELK_IOC_CHANNEL_CREATE, &create));
    EXPECT_FAILS(ENOTTY, ioctl(fd, _IOW(kIocType, 0xEF, int), buffer));
    EXPECT_FAILS(EFAULT, ioctl(fd, ZELK_IOC_CHANNEL_CREATE, nullptr));
    close(fd);

    // Requests need a descriptor opened for reading and writing.
    EXPECT_FAILS(EACCES, open("/dev/zelk", O_RDONLY));
    EXPECT_EQ(0, zelkConnectDetach(connection));
    EXPECT_EQ(0, zelkChannelDestroy(channel));
}

} // namespace
