// Priority inheritance: a thread that holds unanswered messages from
// real-time senders runs at the highest of their priorities, when that is
// above its own, and gets back exactly the scheduling it had once the last
// of them ends. The core tells it when a thread takes a message and when a
// message ends; it keeps what each raised thread had.
#ifndef ZELKD_INHERITANCE_H
#define ZELKD_INHERITANCE_H

#include <cstddef>
#include <map>
#include <unordered_map>

#include "scheduling.h"

namespace zelkd {

class Inheritance {
public:
    // Without a scheduling (nullptr) nothing is ever raised.
    explicit Inheritance(Scheduling *scheduling) : scheduling_(scheduling) {}
    ~Inheritance() { releaseAll(); }
    Inheritance(const Inheritance &) = delete;
    Inheritance &operator=(const Inheritance &) = delete;

    bool enabled() const { return scheduling_ != nullptr; }

    // Thread tid took a message sent at priority sent.
    void hold(pid_t tid, const Priority &sent);
    // A message that thread tid took at priority sent has ended.
    void release(pid_t tid, const Priority &sent);
    // Every raised thread gets its own scheduling back (zelkd stops).
    void releaseAll();

    // Threads that hold messages from real-time senders.
    size_t holders() const { return holders_.size(); }

private:
    struct Holder {
        Schedule own;     // what the thread had before its first message
        Priority applied; // what it runs at now; level 0: its own
        std::map<uint64_t, size_t> held; // (level, policy) -> messages
    };
    static uint64_t key(const Priority &p)
    {
        return uint64_t{p.level} << 32 | p.policy;
    }
    // Sets the thread to the highest priority it holds or to its own.
    void apply(pid_t tid, Holder &holder);

    Scheduling *scheduling_;
    // Guarded by the core's serialisation (see Core).
    std::unordered_map<pid_t, Holder> holders_;
};

} // namespace zelkd

#endif
