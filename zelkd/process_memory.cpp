// Reading and writing a caller's memory with process_vm_readv/writev, and
// probing a range against the caller's mappings without touching it: one
// mapping at a time through the maps file's query ioctl where the kernel
// has it (a cost independent of how many mappings there are), otherwise by
// reading the whole maps file.
#include "memory_access.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <atomic>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace zelkd {

namespace {

// Copies in one direction; a short transfer means a byte could not be
// reached, and a process that is gone has no memory to reach either.
int transfer(pid_t pid, uint64_t address, void *local, size_t size,
             bool toCaller)
{
    if (size == 0)
        return 0;
    if (pid <= 0 || !rangeFits(address, size))
        return EFAULT;
    size_t done = 0;
    while (done < size) {
        iovec here{static_cast<char *>(local) + done, size - done};
        iovec there{
            reinterpret_cast<void *>(static_cast<uintptr_t>(address + done)),
            size - done};
        const ssize_t n = toCaller
                              ? process_vm_writev(pid, &here, 1, &there, 1, 0)
                              : process_vm_readv(pid, &here, 1, &there, 1, 0);
        if (n <= 0)
            return EFAULT;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// The maps file's query: the mapping that covers an address (Linux 6.11
// and later). Declared here because older kernel headers lack it.
struct MapQuery {
    uint64_t size;
    uint64_t queryFlags;
    uint64_t queryAddr;
    uint64_t vmaStart;
    uint64_t vmaEnd;
    uint64_t vmaFlags;
    uint64_t vmaPageSize;
    uint64_t vmaOffset;
    uint64_t inode;
    uint32_t devMajor;
    uint32_t devMinor;
    uint32_t vmaNameSize;
    uint32_t buildIdSize;
    uint64_t vmaNameAddr;
    uint64_t buildIdAddr;
};
static_assert(sizeof(MapQuery) == 104);
constexpr unsigned long kMapQuery = _IOWR('f', 17, MapQuery);
constexpr uint64_t kMapReadable = 0x01;
constexpr uint64_t kMapWritable = 0x02;

// Cleared for good once the kernel turns the query down as unknown.
std::atomic<bool> mapQueryKnown{true};

int openMaps(pid_t pid)
{
    char path[48];
    snprintf(path, sizeof path, "/proc/%d/maps", static_cast<int>(pid));
    return ::open(path, O_RDONLY | O_CLOEXEC);
}

// Probes [address, end] (end inclusive) one mapping at a time. Returns 0,
// EFAULT, or ENOTTY when the kernel has no such query.
int probeByQuery(int fd, uint64_t address, uint64_t end, bool forRead,
                 bool forWrite)
{
    uint64_t next = address;
    for (;;) {
        MapQuery query{};
        query.size = sizeof query;
        query.queryAddr = next;
        if (::ioctl(fd, kMapQuery, &query) != 0) {
            if (errno == ENOTTY || errno == EINVAL)
                return ENOTTY;
            return EFAULT; // ENOENT: a hole; ESRCH: the process is gone
        }
        if (query.vmaStart > next || query.vmaEnd <= next)
            return EFAULT;
        if ((forRead && (query.vmaFlags & kMapReadable) == 0) ||
            (forWrite && (query.vmaFlags & kMapWritable) == 0))
            return EFAULT;
        if (query.vmaEnd - 1 >= end)
            return 0;
        next = query.vmaEnd;
    }
}

// Reads /proc/<pid>/maps line by line into a fixed buffer.
class MapsReader {
public:
    // Takes over fd, an open maps file.
    explicit MapsReader(int fd) : fd_(fd) {}
    ~MapsReader()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    MapsReader(const MapsReader &) = delete;
    MapsReader &operator=(const MapsReader &) = delete;

    // The next mapping: start, end and whether it may be read and written.
    bool next(uint64_t &start, uint64_t &end, bool &readable, bool &writable)
    {
        for (;;) {
            char *newline = static_cast<char *>(
                memchr(buffer_ + begin_, '\n', used_ - begin_));
            if (newline != nullptr) {
                *newline = '\0';
                const char *line = buffer_ + begin_;
                begin_ = static_cast<size_t>(newline - buffer_) + 1;
                char perms[5] = {};
                if (sscanf(line, "%" SCNx64 "-%" SCNx64 " %4s", &start, &end,
                           perms) == 3) {
                    readable = perms[0] == 'r';
                    writable = perms[1] == 'w';
                    return true;
                }
                continue;
            }
            if (!refill())
                return false;
        }
    }

private:
    bool refill()
    {
        if (fd_ < 0)
            return false;
        memmove(buffer_, buffer_ + begin_, used_ - begin_);
        used_ -= begin_;
        begin_ = 0;
        if (used_ == sizeof buffer_) // a line longer than the buffer
            used_ = 0;
        ssize_t n;
        do {
            n = ::read(fd_, buffer_ + used_, sizeof buffer_ - used_);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false;
        used_ += static_cast<size_t>(n);
        return true;
    }

    int fd_ = -1;
    char buffer_[8192];
    size_t used_ = 0;
    size_t begin_ = 0;
};

} // namespace

bool rangeFits(uint64_t address, size_t size)
{
    const uint64_t last = address + size - 1;
    return size == 0 ||
           (last >= address && last <= static_cast<uint64_t>(UINTPTR_MAX));
}

int ProcessMemory::read(pid_t pid, uint64_t address, void *to, size_t size)
{
    return transfer(pid, address, to, size, false);
}

int ProcessMemory::write(pid_t pid, uint64_t address, const void *from,
                         size_t size)
{
    return transfer(pid, address, const_cast<void *>(from), size, true);
}

int ProcessMemory::probe(pid_t pid, uint64_t address, size_t size, bool forRead,
                         bool forWrite)
{
    if (pid <= 0 || size == 0 || !rangeFits(address, size))
        return EFAULT;
    const uint64_t end = address + (size - 1); // inclusive, cannot wrap
    const int fd = openMaps(pid);
    if (fd < 0)
        return EFAULT;
    if (useMapQuery_ && mapQueryKnown.load(std::memory_order_relaxed)) {
        const int err = probeByQuery(fd, address, end, forRead, forWrite);
        if (err != ENOTTY) {
            close(fd);
            return err;
        }
        mapQueryKnown.store(false, std::memory_order_relaxed);
    }
    // Mappings come in ascending order; walk them until the whole range is
    // covered by adjacent mappings that allow what is asked.
    uint64_t next = address;
    MapsReader maps(fd);
    uint64_t start = 0;
    uint64_t stop = 0;
    bool readable = false;
    bool writable = false;
    while (maps.next(start, stop, readable, writable)) {
        if (stop <= next)
            continue;
        if (start > next)
            return EFAULT; // a hole
        if ((forRead && !readable) || (forWrite && !writable))
            return EFAULT;
        if (stop - 1 >= end)
            return 0;
        next = stop;
    }
    return EFAULT;
}

} // namespace zelkd
