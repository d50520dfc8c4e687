// Loading the channel policy at start and again on SIGHUP. SIGHUP is taken
// by a thread of its own with sigwait, so it never stops the daemon and the
// reload (file reads, user and group look-ups) runs outside any handler.
#ifndef ZELKD_POLICY_RELOAD_H
#define ZELKD_POLICY_RELOAD_H

#include <atomic>
#include <string>
#include <thread>

#include "policy.h"

namespace zelkd {

// Where the policy comes from: an explicit file must exist; the default one
// may be missing, and then every name is open.
struct PolicySource {
    std::string path;
    bool required = false;
};

// Loads the policy from source into holder (a missing default file gives
// no policy). Returns "" or why not; holder then keeps what it had.
std::string loadPolicyInto(const PolicySource &source, PolicyHolder &holder);

// Blocks SIGHUP in the calling thread (and the threads it starts later),
// so that a SIGHUP before the reloader runs waits for it instead of ending
// zelkd. Returns 0 or an error number.
int blockHangup();

class PolicyReloader {
public:
    PolicyReloader(const PolicySource &source, PolicyHolder &holder)
        : source_(source), holder_(holder)
    {
    }
    ~PolicyReloader();
    PolicyReloader(const PolicyReloader &) = delete;
    PolicyReloader &operator=(const PolicyReloader &) = delete;

    // Blocks SIGHUP in the calling thread, and so in every thread it starts
    // later, and starts the thread that reloads on each SIGHUP. Call it
    // before any other thread exists. Returns "" or why it could not.
    std::string start();

private:
    void run();

    const PolicySource source_;
    PolicyHolder &holder_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

} // namespace zelkd

#endif
