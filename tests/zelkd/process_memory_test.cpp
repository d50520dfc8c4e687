// The memory probe against this process's own mappings, through the maps
// file's per-address query and through the full read that older kernels
// need: both must give the same answers.
#include "memory_access.h"

#include <cerrno>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

TEST(ProcessMemoryTest, QueryAndFullReadAgree)
{
#ifdef ZELK_TEST_EMULATED
    GTEST_SKIP() << "user-mode emulation shows its guest a maps file of its "
                    "own but passes the query to the host's";
#endif
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    // Five pages: read-write, read-only, read-write, a hole, read-write.
    auto *base =
        static_cast<char *>(mmap(nullptr, 5 * page, PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, base);
    ASSERT_EQ(0, mprotect(base + page, page, PROT_READ));
    ASSERT_EQ(0, munmap(base + 3 * page, page));
    const uint64_t at = reinterpret_cast<uintptr_t>(base);
    const struct {
        uint64_t address;
        size_t size;
        bool read, write;
        int expected;
    } cases[] = {
        {at, page, true, true, 0},
        {at + page - 8, 16, true, false, 0},      // across two mappings
        {at + page - 8, 16, false, true, EFAULT}, // the second is read-only
        {at, 3 * page, true, false, 0},           // three adjacent mappings
        {at + 2 * page, 2 * page, true, false, EFAULT}, // into the hole
        {at + 3 * page, 1, false, false, EFAULT},       // in the hole
        {at + 4 * page, page, true, true, 0},
        {~uint64_t{0} - 16, 8, true, false, EFAULT},
    };
    zelkd::ProcessMemory query(true);
    zelkd::ProcessMemory fullRead(false);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.address - at);
        EXPECT_EQ(c.expected,
                  query.probe(getpid(), c.address, c.size, c.read, c.write));
        EXPECT_EQ(c.expected,
                  fullRead.probe(getpid(), c.address, c.size, c.read, c.write));
    }
    munmap(base, 3 * page);
    munmap(base + 4 * page, page);
}

} // namespace
