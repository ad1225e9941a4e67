// The active command runner and pauser: the real ones unless a test installed its own.
#include <atomic>

#include "keyword.hpp"
#include "mono_clock.hpp"

namespace {

std::atomic<command_runner*> installed_runner{nullptr};
std::atomic<exec_pauser*> installed_pauser{nullptr};

}  // namespace

command_runner& active_command_runner() {
    command_runner* runner = installed_runner.load();
    return runner != nullptr ? *runner : daemon_shell_runner();
}

scoped_command_runner::scoped_command_runner(command_runner& runner)
    : previous_(installed_runner.exchange(&runner)) {}

scoped_command_runner::~scoped_command_runner() { installed_runner.store(previous_); }

void exec_pause_us(unsigned microseconds) {
    exec_pauser* pauser = installed_pauser.load();
    if (pauser != nullptr) {
        pauser->pause_us(microseconds);
        return;
    }
    mono_sleep_us(microseconds);
}

scoped_exec_pauser::scoped_exec_pauser(exec_pauser& pauser)
    : previous_(installed_pauser.exchange(&pauser)) {}

scoped_exec_pauser::~scoped_exec_pauser() { installed_pauser.store(previous_); }
