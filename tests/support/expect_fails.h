// EXPECT_FAILS(err, call): expects call to return -1 with errno err, and
// names the call in the failure message.
#ifndef ZELK_TESTS_SUPPORT_EXPECT_FAILS_H
#define ZELK_TESTS_SUPPORT_EXPECT_FAILS_H

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#define EXPECT_FAILS(err, call)                                                \
    do {                                                                       \
        errno = 0;                                                             \
        const int rc_ = (call);                                                \
        const int errno_ = errno;                                              \
        EXPECT_EQ(-1, rc_) << #call;                                           \
        EXPECT_EQ(err, errno_) << #call << ": " << strerror(errno_);           \
    } while (0)

#endif
