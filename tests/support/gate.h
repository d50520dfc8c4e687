// A one-way signal between forked test processes: a pipe that one side
// opens by writing a byte and the other waits on.
#ifndef ZELK_TESTS_SUPPORT_GATE_H
#define ZELK_TESTS_SUPPORT_GATE_H

#include <unistd.h>

namespace zelk::test {

class Gate {
public:
    Gate()
    {
        if (pipe(fds_) != 0)
            fds_[0] = fds_[1] = -1;
    }
    ~Gate()
    {
        close(fds_[0]);
        close(fds_[1]);
    }
    Gate(const Gate &) = delete;
    Gate &operator=(const Gate &) = delete;

    void open() { (void)!write(fds_[1], "x", 1); }
    // True when opened; false when every writer has gone.
    bool wait()
    {
        char c;
        return read(fds_[0], &c, 1) == 1;
    }

private:
    int fds_[2];
};

} // namespace zelk::test

#endif
