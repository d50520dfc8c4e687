// Status helpers shared by every subsystem: the exported functions' "-1 with
// errno" convention, and a holder that keeps errno across clean-up calls.
#ifndef ZELK_COMMON_STATUS_H
#define ZELK_COMMON_STATUS_H

#include <cerrno>

namespace zelk::detail {

// Stores err in errno and returns -1: the failure result of exported calls.
inline int fail(int err)
{
    errno = err;
    return -1;
}

// Restores errno on scope exit, so that a clean-up call (close, unlink) on a
// failure path cannot replace the error that is being reported.
class ErrnoSaver {
public:
    ErrnoSaver() : saved_(errno) {}
    ~ErrnoSaver() { errno = saved_; }
    ErrnoSaver(const ErrnoSaver &) = delete;
    ErrnoSaver &operator=(const ErrnoSaver &) = delete;

private:
    int saved_;
};

} // namespace zelk::detail

#endif
