// Access to a caller's memory. zelkd touches only the memory of the process
// whose request it is serving, at addresses that request named; the core
// goes through this interface so that its tests need no second process.
#ifndef ZELKD_MEMORY_ACCESS_H
#define ZELKD_MEMORY_ACCESS_H

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace zelkd {

class MemoryAccess {
public:
    // Each returns 0, or EFAULT when some byte of the range cannot be
    // accessed (also for a range that wraps around the address space).

    // Copies size bytes from address in process pid to to.
    virtual int read(pid_t pid, uint64_t address, void *to, size_t size) = 0;
    // Copies size bytes from from to address in process pid.
    virtual int write(pid_t pid, uint64_t address, const void *from,
                      size_t size) = 0;
    // Checks the process's mappings, without touching the range, for read
    // and/or write access to every byte of it.
    virtual int probe(pid_t pid, uint64_t address, size_t size, bool forRead,
                      bool forWrite) = 0;

protected:
    ~MemoryAccess() = default;
};

// The real thing: process_vm_readv/writev and /proc/<pid>/maps. Calls share
// only an atomic note that the kernel lacks the maps query, so any thread
// may use it.
class ProcessMemory final : public MemoryAccess {
public:
    // Without useMapQuery, probes always read the whole maps file, as on a
    // kernel without the per-address query.
    explicit ProcessMemory(bool useMapQuery = true) : useMapQuery_(useMapQuery)
    {
    }

    int read(pid_t pid, uint64_t address, void *to, size_t size) override;
    int write(pid_t pid, uint64_t address, const void *from,
              size_t size) override;
    int probe(pid_t pid, uint64_t address, size_t size, bool forRead,
              bool forWrite) override;

private:
    const bool useMapQuery_;
};

// True when [address, address + size) neither wraps nor leaves the
// daemon's pointer range.
bool rangeFits(uint64_t address, size_t size);

} // namespace zelkd

#endif
