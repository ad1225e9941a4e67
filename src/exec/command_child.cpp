// Forking a command child with a clean signal state, and the list of running command groups
// that the signal path ends.
#include "command_child.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

running_command_groups running_commands;

namespace {

constexpr long start_wait_step_ns = 100000;

// Restores what a fresh program expects: the daemon ignores SIGPIPE, and whatever a thread
// blocked would otherwise stay blocked in every program it starts. Async-signal-safe only.
void reset_signals_in_child() {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (int signo = 1; signo < NSIG; ++signo) {
        if (signo == SIGKILL || signo == SIGSTOP) continue;
        // The C library refuses its own reserved signals; those are never ignored anyway.
        sigaction(signo, &default_action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

pid_t fork_command_child(running_command_groups* list, int* slot) {
    if (slot != nullptr) *slot = -1;
    // Blocked across the fork: no handler of the daemon may run in the child before its
    // dispositions are reset, nor in this thread while a listed start is under way. (No RAII
    // here: the child must not put the daemon's mask back.)
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    if (list != nullptr && !list->enter_start()) {
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
    if (pid > 0) {
        // Also here: the group must exist before anyone may signal it, whichever side runs
        // first. After the child's exec this fails harmlessly, the child having done it.
        setpgid(pid, pid);
        if (list != nullptr && slot != nullptr) *slot = list->add(pid);
    }
    if (list != nullptr) list->leave_start();
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

int running_command_groups::add(pid_t group) {
    if (group <= 0) return -1;
    for (int slot = 0; slot < running_command_slots; ++slot) {
        pid_t expected = 0;
        if (groups_[slot].compare_exchange_strong(expected, group)) return slot;
    }
    return -1;
}

void running_command_groups::remove(int slot) {
    if (slot >= 0 && slot < running_command_slots) groups_[slot].store(0);
}

void running_command_groups::stop_all() {
    stopping_.store(true);
    // A start under way runs in a thread with signals blocked, so never in this one; it ends
    // within a fork.
    while (starting_.load() > 0) {
        timespec step{0, start_wait_step_ns};
        nanosleep(&step, nullptr);
    }
    for (std::atomic<pid_t>& group : groups_) {
        pid_t id = group.load();
        if (id > 0) kill(-id, SIGKILL);
    }
}
