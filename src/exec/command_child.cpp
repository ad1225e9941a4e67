// Forking a command child with a clean signal state, and the list of running command groups
// that the signal path ends.
#include "command_child.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>

#include "mono_clock.hpp"

namespace {

constexpr int64_t start_wait_step_us = 100;
// The kernel's signal set: 64 signals on every Linux architecture this daemon runs on.
constexpr size_t kernel_sigset_bytes = 8;
// Room for the kernel's struct sigaction (handler, flags, restorer, mask) on 32- and 64-bit.
struct kernel_sigaction_bytes {
    unsigned char bytes[64];
};

// Restores what a fresh program expects: the daemon ignores SIGPIPE, and whatever a thread
// blocked would otherwise stay blocked in every program it starts. Async-signal-safe only.
void reset_signals_in_child() {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (int signo = 1; signo < NSIG; ++signo) {
        if (signo == SIGKILL || signo == SIGSTOP) continue;
        if (sigaction(signo, &default_action, nullptr) == 0) continue;
        // The C library refuses its own reserved signals, yet a parent of ours may have left
        // them ignored, and an ignored signal stays ignored across exec: the kernel is told
        // directly. All zeros is the default action, no flags and an empty mask in the
        // kernel's own layout on every architecture.
        const kernel_sigaction_bytes zero{};
        syscall(SYS_rt_sigaction, signo, &zero, nullptr, kernel_sigset_bytes);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

pid_t fork_command_child(running_command_groups& list, int& slot, const char* label) {
    slot = -1;
    // Blocked across the fork: no handler of the daemon may run in the child before its
    // dispositions are reset, nor in this thread while a listed start is under way. (No RAII
    // here: the child must not put the daemon's mask back.)
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    if (!list.enter_start()) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        errno = ECANCELED;
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        reset_signals_in_child();
        return 0;
    }
    int fork_errno = errno;
    // Also here: the group must exist before anyone may signal it, whichever side runs first.
    // After the child's exec this fails harmlessly, the child having done it.
    if (pid > 0) setpgid(pid, pid);
    slot = list.add(pid, label);  // -1 when the fork failed
    list.leave_start();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = fork_errno;
    return pid;
}

bool running_command_groups::enter_start() {
    starting_.fetch_add(1);
    if (!stopping_.load()) return true;
    starting_.fetch_sub(1);
    return false;
}

int running_command_groups::add(pid_t group, const char* label) {
    if (group <= 0) return -1;
    for (int slot = 0; slot < running_command_slots; ++slot) {
        pid_t expected = 0;
        // Claimed first, then labelled, then filled: whoever sees the group sees its label.
        if (!groups_[slot].compare_exchange_strong(expected, claimed_slot)) continue;
        labels_[slot].store(label);
        groups_[slot].store(group);
        return slot;
    }
    return -1;
}

void running_command_groups::remove(int slot) {
    if (slot >= 0 && slot < running_command_slots) groups_[slot].store(0);
}

pid_t running_command_groups::group_at(int slot, const char** label) const {
    if (slot < 0 || slot >= running_command_slots) return 0;
    pid_t group = groups_[slot].load();
    if (group == claimed_slot) return 0;
    if (label != nullptr) *label = labels_[slot].load();
    return group;
}

pid_t running_command_groups::find(const char* label) const {
    for (int slot = 0; slot < running_command_slots; ++slot) {
        const char* listed = nullptr;
        const pid_t group = group_at(slot, &listed);
        if (group > 0 && listed == label) return group;
    }
    return 0;
}

void running_command_groups::refuse_starts() {
    stopping_.store(true);
    // A start under way runs in a thread with signals blocked, so never in this one; it ends
    // within a fork.
    while (starting_.load() > 0) mono_sleep_us(start_wait_step_us);
}

void running_command_groups::stop_all() {
    refuse_starts();
    for (std::atomic<pid_t>& group : groups_) {
        pid_t id = group.load();
        if (id > 0) kill(-id, SIGKILL);
    }
}
