// A one-way signal between forked test processes: a pipe that one side
// opens by writing a byte and the other waits on.
#ifndef ZELK_TESTS_SUPPORT_GATE_H
#define ZELK_TESTS_SUPPORT_GATE_H

#include <cerrno>
#include <chrono>

#include <poll.h>
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
    // True when opened; false when every writer has gone or after 30 s.
    // A forked waiter holds a writing end itself, so only the limit ends
    // its wait when the other side fails before opening: the test then
    // fails instead of hanging with the child holding its output open.
    bool wait()
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - Clock::now());
            pollfd ready{fds_[0], POLLIN, 0};
            const int rc =
                poll(&ready, 1,
                     left.count() > 0 ? static_cast<int>(left.count()) : 0);
            if (rc < 0 && errno == EINTR)
                continue;
            char c;
            return rc == 1 && read(fds_[0], &c, 1) == 1;
        }
    }

private:
    int fds_[2];
};

} // namespace zelk::test

#endif
