// The active command runner and pauser: the real ones unless a test installed its own.
#include <atomic>
#include <cerrno>
#include <ctime>

#include "keyword.hpp"

namespace {

constexpr long microseconds_per_second = 1000000;
constexpr long nanoseconds_per_microsecond = 1000;

std::atomic<command_runner*> installed_runner{nullptr};
std::atomic<exec_pauser*> installed_pauser{nullptr};

// A signal must not shorten a retry pause, so sleep on until the whole time has passed.
void sleep_us(unsigned microseconds) {
    timespec remaining{};
    remaining.tv_sec = static_cast<time_t>(microseconds / microseconds_per_second);
    remaining.tv_nsec = static_cast<long>(microseconds % microseconds_per_second) *
                        nanoseconds_per_microsecond;
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

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
    sleep_us(microseconds);
}

scoped_exec_pauser::scoped_exec_pauser(exec_pauser& pauser)
    : previous_(installed_pauser.exchange(&pauser)) {}

scoped_exec_pauser::~scoped_exec_pauser() { installed_pauser.store(previous_); }
