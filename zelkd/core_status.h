// A plain snapshot of what zelkd's core holds: channels with their queued,
// received and waiting requests, and connections. The core fills it under
// the lock that guards its requests; the daemon adds what lives outside the
// core (per-user usage, the policy file) and renders it.
#ifndef ZELKD_CORE_STATUS_H
#define ZELKD_CORE_STATUS_H

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zelkd {

// A send waiting for its reply: queued, or received and held by a server.
struct StatusMessage {
    uint16_t id = 0;
    pid_t tid = 0; // the sending thread, as the kernel reports the caller
    uid_t uid = 0;
    uint32_t size = 0;
    uint32_t replySize = 0;
    int64_t sentNs = 0; // CLOCK_MONOTONIC
    bool received = false;
    pid_t serverTid = 0; // the thread that received it, once received
};

// A receive waiting for a message.
struct StatusReceiver {
    pid_t tid = 0;
    uid_t uid = 0;
    int64_t sinceNs = 0; // CLOCK_MONOTONIC
};

struct StatusChannel {
    std::string name;
    uid_t creatorUid = 0;
    pid_t creatorPid = 0;
    int64_t createdNs = 0; // CLOCK_REALTIME
    uint64_t queuedBytes = 0;
    std::vector<StatusMessage> messages; // queued first, in arrival order
    std::vector<StatusReceiver> receivers;
};

struct StatusConnection {
    pid_t pid = 0; // the thread that attached
    uid_t uid = 0;
    std::string channel;
    bool live = true; // false once its channel has ended
};

// Usage of one user against the per-user bounds; a bound of 0 is none.
struct UserUsage {
    uid_t uid = 0;
    uint64_t channels = 0;
    uint64_t queuedBytes = 0;
    uint64_t blockedSends = 0;
    uint64_t maxChannels = 0;
    uint64_t maxQueuedBytes = 0;
    uint64_t maxBlockedSends = 0;
};

struct CoreStatus {
    int64_t nowNs = 0; // CLOCK_MONOTONIC when taken
    std::vector<StatusChannel> channels;
    std::vector<StatusConnection> connections;
    uint64_t queuedBytes = 0;
    uint64_t descriptors = 0;

    // Filled by the daemon, not by the core.
    std::vector<UserUsage> users;
    std::string policyFile; // "" without a policy
};

// Derives per-user usage from the snapshot's channels and messages.
std::vector<UserUsage> usageOf(const CoreStatus &status);

} // namespace zelkd

#endif
