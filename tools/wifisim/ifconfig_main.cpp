// The stand-in `ifconfig`: "ifconfig NAME up|down" on the simulated driver's interfaces (and lo).
#include <cstdio>
#include <cstring>
#include <string>

#include "driver_state.hpp"
#include "sim_state.hpp"
#include "standin.hpp"

namespace {

constexpr int exit_failure = 1;

int set_flag(const std::string& state, const char* name, bool up) {
    if (strcmp(name, "lo") == 0) return 0;
    wifisim::state_lock lock(state);
    wifisim::driver_state d;
    if (!lock.held() || !wifisim::load_driver(state, &d)) {
        fprintf(stderr, "ifconfig: cannot use the simulated driver state in %s\n", state.c_str());
        return exit_failure;
    }
    wifisim::interface_entry* e = wifisim::find_interface(d, name);
    if (e == nullptr) {
        fprintf(stderr, "%s: ERROR while getting interface flags: No such device\n", name);
        return exit_failure;
    }
    e->up = up;
    return wifisim::save_driver(state, d) ? 0 : exit_failure;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string state =
        wifisim::standin_start(argc, argv, "SIOCSIFFLAGS: Input/output error");
    if (argc == 3 && (strcmp(argv[2], "up") == 0 || strcmp(argv[2], "down") == 0))
        return set_flag(state, argv[1], strcmp(argv[2], "up") == 0);
    return 0;  // other forms only show or change what the simulation does not model
}
