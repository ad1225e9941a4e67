// fw_printenv / fw_setenv on the board: logs the call, applies injected failures, then runs the
// real tool (Debian's libubootenv-tool), which populate copied to STATE/real/ because the
// overlay hides the host's own copy under this one.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim_state.hpp"
#include "standin.hpp"

namespace {

constexpr int exit_cannot_run = 127;

const char* base_name(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string state = wifisim::standin_start(argc, argv, "Cannot access the environment");
    const std::string real = state + "/" + wifisim::real_tools_dir + "/" + base_name(argv[0]);
    execv(real.c_str(), argv);
    fprintf(stderr, "%s: cannot run %s: %s\n", argv[0], real.c_str(), strerror(errno));
    return exit_cannot_run;
}
