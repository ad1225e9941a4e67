#pragma once
// Children of the daemon: every one starts as a fresh program would (default signal
// dispositions, nothing blocked) in a process group of its own, so that a hung command can be
// ended with everything it started, and so that a stop signal can end the running commands
// without touching the ones that must finish.
#include <sys/types.h>

#include <atomic>

// Slots of running command groups that a stop signal ends.
constexpr int running_command_slots = 16;

// The process groups of running commands, listed so that a stop signal finds them: the ones it
// kills, or the writes it waits for. Everything here is lock-free, so the signal path can use it
// whatever the interrupted thread holds.
class running_command_groups {
public:
    // Async-signal-safe: from now on no listed child is started, and every listed group, and
    // any whose start was under way, is sent SIGKILL.
    void stop_all();
    // Async-signal-safe: from now on no listed child is started; returns once every start that
    // was under way has listed its child.
    void refuse_starts();
    bool refusing() const { return stopping_.load(); }

    // The start of a listed child: false once stopping. The caller blocks signals in its thread
    // between enter_start and leave_start, so that stop_all never waits on its own thread.
    bool enter_start();
    void leave_start() { starting_.fetch_sub(1); }
    // Returns the slot, or -1 for no group or when every slot is taken (the command then runs
    // unlisted). The label (static text: the program) names the command to the signal path.
    int add(pid_t group, const char* label = nullptr);
    void remove(int slot);
    // Async-signal-safe: the group in a slot (0: free) and its label.
    pid_t group_at(int slot, const char** label) const;
    // Async-signal-safe: the first listed group whose label is this very text, or 0.
    pid_t find(const char* label) const;

private:
    // 0: free; claimed_slot while being filled; the group id otherwise.
    static constexpr pid_t claimed_slot = -1;
    std::atomic<pid_t> groups_[running_command_slots] = {};
    std::atomic<const char*> labels_[running_command_slots] = {};
    std::atomic<int> starting_{0};
    std::atomic<bool> stopping_{false};
    static_assert(std::atomic<pid_t>::is_always_lock_free, "the signal path needs lock-free slots");
};

// The label of the `iw event` child among the running commands.
inline constexpr char iw_event_label[] = "iw event";

// The daemon's lists: the commands a stop signal kills, and the boot-environment and firmware
// writes, which are never killed: a stop refuses new ones and waits for the running ones.
struct running_command_lists {
    running_command_groups cuttable;
    running_command_groups writes;
};

// Forks like fork(): 0 in the child, the child's id in the parent, -1 (errno set) on failure.
// The child has every signal at its default disposition, an empty signal mask and its own
// process group (set on both sides of the fork, so the group exists as soon as this returns);
// no signal handler of the daemon can run in it between fork and exec. The group is listed
// before a stop signal can miss it (slot receives the slot, or -1), and once the list is
// stopping nothing is forked (-1, errno ECANCELED). The label goes into the list.
pid_t fork_command_child(running_command_groups& list, int& slot, const char* label);

// Holds a child's slot until withdrawn; the owner withdraws it while the child is still a zombie,
// before reaping it, so the signal path never kills a reused id.
class listed_command_group {
public:
    listed_command_group(running_command_groups& list, int slot) : list_(list), slot_(slot) {}
    ~listed_command_group() { withdraw(); }
    listed_command_group(const listed_command_group&) = delete;
    listed_command_group& operator=(const listed_command_group&) = delete;

    void withdraw() {
        if (slot_ >= 0) list_.remove(slot_);
        slot_ = -1;
    }

private:
    running_command_groups& list_;
    int slot_;
};
