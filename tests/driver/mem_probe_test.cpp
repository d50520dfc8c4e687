// The memory probe against a running zelkd: answers follow the caller's own
// mappings and protections, and probing touches nothing.
#include "zelk.h"

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "support/zelkd_fixture.h"

namespace {

using MemProbeTest = zelk::test::ZelkdTest;

int probeErrno(const void *address, int mode, uint32_t length)
{
    errno = 0;
    const int rc = zelkMemProbe(address, mode, length, 0);
    return rc == 0 ? 0 : (rc == -1 ? errno : -1000 - rc);
}

TEST_F(MemProbeTest, AnswersFollowMappingsAndProtections)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    // Three pages: read-write, read-only, then a hole.
    auto *area = static_cast<unsigned char *>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, area);
    ASSERT_EQ(0, mprotect(area + page, page, PROT_READ));
    ASSERT_EQ(0, munmap(area + 2 * page, page));

    const char name[] = "a thread name";
    EXPECT_EQ(0, zelkMemProbe(name, 5, 64, 1)) << "the thread name probe";
    EXPECT_EQ(0, probeErrno(area, 3, page));
    EXPECT_EQ(0, probeErrno(area + 100, 1, 2 * page - 100)) << "across two";
    EXPECT_EQ(0, probeErrno(area + page, 1, page));
    EXPECT_EQ(EFAULT, probeErrno(area + page, 2, 1)) << "read-only";
    EXPECT_EQ(EFAULT, probeErrno(area + page - 1, 3, 2)) << "half read-only";
    EXPECT_EQ(EFAULT, probeErrno(area + 2 * page, 1, 1)) << "unmapped";
    EXPECT_EQ(EFAULT, probeErrno(area + 2 * page - 1, 1, 2)) << "into a hole";
    EXPECT_EQ(EFAULT, probeErrno(area, 1, 3 * page)) << "last chunk fails";
    EXPECT_EQ(EFAULT, probeErrno(nullptr, 1, 64));
    EXPECT_EQ(EFAULT,
              probeErrno(reinterpret_cast<void *>(UINTPTR_MAX - 10), 1, 64))
        << "wraps around";
    EXPECT_EQ(0, probeErrno(nullptr, 1, 0)) << "nothing to probe";
    // Mode bits other than read and write, and the flag, select nothing.
    EXPECT_EQ(0, zelkMemProbe(area + page, 0x7C | 1, 16, 0x1234));
    munmap(area, 2 * page);
}

TEST_F(MemProbeTest, ProbingTouchesNothing)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *fresh = mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(MAP_FAILED, fresh);
    EXPECT_EQ(0, zelkMemProbe(fresh, 3, 4 * page, 0));
    unsigned char resident[4] = {1, 1, 1, 1};
    ASSERT_EQ(0, mincore(fresh, 4 * page, resident));
    for (unsigned char r : resident)
        EXPECT_EQ(0, r & 1) << "a probed page was faulted in";
    munmap(fresh, 4 * page);
}

} // namespace
