// Starting the 32-bit client (compat_client.cpp) and reading what it prints.
#ifndef ZELK_TESTS_DRIVER_COMPAT_RUN_H
#define ZELK_TESTS_DRIVER_COMPAT_RUN_H

#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace zelk::test {

// The 32-bit client of this build, or nullptr where none is built.
inline const char *compatClientPath()
{
#ifdef ZELK_COMPAT_CLIENT
    return ZELK_COMPAT_CLIENT;
#else
    return nullptr;
#endif
}

// A running 32-bit client attached to one channel.
class CompatClient {
public:
    explicit CompatClient(const char *channel)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            execl(compatClientPath(), compatClientPath(), channel,
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
    }
    ~CompatClient() { finish(); }
    CompatClient(const CompatClient &) = delete;
    CompatClient &operator=(const CompatClient &) = delete;

    // Waits for the client to end; its output, then "exit N".
    std::string finish()
    {
        if (fd_ < 0)
            return output_;
        char chunk[256];
        ssize_t n;
        while ((n = read(fd_, chunk, sizeof chunk)) > 0)
            output_.append(chunk, static_cast<size_t>(n));
        close(fd_);
        fd_ = -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        output_ += "exit " + std::to_string(WIFEXITED(status)
                                                ? WEXITSTATUS(status)
                                                : 128 + WTERMSIG(status));
        return output_;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string output_;
};

} // namespace zelk::test

#endif
