// The channel policy: which users may create (own) or attach to channels
// of a given name. Parsed from a text file of "own" and "attach" rules;
// a name that no rule of a kind matches stays open to every device user.
#ifndef ZELKD_POLICY_H
#define ZELKD_POLICY_H

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zelkd {

enum class PolicyKind { Own, Attach };

class Policy {
public:
    // Supplementary groups of the caller, asked for only when a rule that
    // matches the name lists a group the caller's primary group is not.
    using GroupSource = std::function<std::vector<gid_t>()>;

    // Parses text into policy. Returns "" or "LINE: what is wrong"; user
    // and group names are resolved now, so an unknown one is an error.
    static std::string parse(const std::string &text, Policy &policy);

    // Whether uid (primary group gid) may create or attach to name. Root
    // always may.
    bool allows(PolicyKind kind, const std::string &name, uid_t uid, gid_t gid,
                const GroupSource &groups) const;

    size_t ruleCount() const { return rules_.size(); }

private:
    struct Who {
        enum class Type { Everybody, User, Group } type;
        unsigned id;
    };
    struct Rule {
        PolicyKind kind;
        std::string prefix;
        bool wildcard; // prefix followed by '*': matches every extension
        std::vector<Who> who;
    };

    std::vector<Rule> rules_;
};

// Reads and parses the policy file at path. Returns "" or
// "path:LINE: what is wrong" (or "path: why it cannot be read").
std::string loadPolicy(const std::string &path, Policy &policy);

// The supplementary groups of process pid, from its /proc status; empty
// when it cannot be read.
std::vector<gid_t> processGroups(pid_t pid);

// The policy in force, replaced whole on reload while requests read it.
class PolicyHolder {
public:
    std::shared_ptr<const Policy> get() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return policy_;
    }
    void set(std::shared_ptr<const Policy> policy)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        policy_.swap(policy);
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Policy> policy_; // guarded by mutex_; null: open
};

} // namespace zelkd

#endif
