// Loading the channel policy, and reloading it on SIGHUP; see the header.
#include "policy_reload.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <pthread.h>
#include <unistd.h>

#include "log.h"
#include "quiet_thread.h"

namespace zelkd {

std::string loadPolicyInto(const PolicySource &source, PolicyHolder &holder)
{
    if (!source.required && access(source.path.c_str(), F_OK) != 0 &&
        errno == ENOENT) {
        holder.set(nullptr);
        return "";
    }
    auto policy = std::make_shared<Policy>();
    const std::string problem = loadPolicy(source.path, *policy);
    if (!problem.empty())
        return problem;
    holder.set(std::move(policy));
    return "";
}

int blockHangup()
{
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    return pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
}

PolicyReloader::~PolicyReloader()
{
    if (!thread_.joinable())
        return;
    stopping_.store(true);
    pthread_kill(thread_.native_handle(), SIGHUP);
    thread_.join();
}

std::string PolicyReloader::start()
{
    const int err = blockHangup();
    if (err != 0)
        return std::string("cannot block SIGHUP: ") + strerror(err);
    try {
        thread_ = startQuietThread([this] { run(); });
    } catch (const std::system_error &error) {
        return std::string("cannot start the reload thread: ") + error.what();
    }
    return "";
}

void PolicyReloader::run()
{
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    for (;;) {
        int signal = 0;
        if (sigwait(&hangup, &signal) != 0 || stopping_.load())
            return;
        const std::string problem = loadPolicyInto(source_, holder_);
        if (!problem.empty()) {
            logLine(LogLevel::Error,
                    "policy not reloaded, the old one stays: %s",
                    problem.c_str());
            continue;
        }
        const auto policy = holder_.get();
        logLine(LogLevel::Info, "policy reloaded from %s: %zu rules",
                source_.path.c_str(), policy ? policy->ruleCount() : size_t{0});
    }
}

} // namespace zelkd
