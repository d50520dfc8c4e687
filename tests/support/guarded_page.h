// One page that can be read and written, followed by one that cannot: data
// placed at the end of the first is the last readable memory, so a read
// past it faults.
#ifndef ZELK_TESTS_SUPPORT_GUARDED_PAGE_H
#define ZELK_TESTS_SUPPORT_GUARDED_PAGE_H

#include <cstddef>

#include <sys/mman.h>
#include <unistd.h>

namespace zelk::test {

class GuardedPage {
public:
    GuardedPage() : size_(static_cast<size_t>(sysconf(_SC_PAGESIZE)))
    {
        void *area = mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area != MAP_FAILED && mprotect(static_cast<char *>(area) + size_,
                                           size_, PROT_NONE) == 0)
            start_ = static_cast<char *>(area);
        else if (area != MAP_FAILED)
            munmap(area, 2 * size_);
    }
    ~GuardedPage()
    {
        if (start_ != nullptr)
            munmap(start_, 2 * size_);
    }
    GuardedPage(const GuardedPage &) = delete;
    GuardedPage &operator=(const GuardedPage &) = delete;

    // The readable page; null when it could not be made.
    char *start() const { return start_; }
    // Where the unreadable page begins.
    char *end() const { return start_ + size_; }

private:
    size_t size_;
    char *start_ = nullptr;
};

} // namespace zelk::test

#endif
