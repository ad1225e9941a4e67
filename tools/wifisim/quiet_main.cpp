// Stand-ins whose only effect is to be called: `reboot` (which must never reach the machine the
// tests run on) and the board's firmware-update script /bin/usb.sh. The call log shows the call.
#include <string>

#include "standin.hpp"

#ifndef WIFISIM_QUIET_FAILURE
#error "WIFISIM_QUIET_FAILURE names the failure message of this stand-in"
#endif

int main(int argc, char** argv) {
    wifisim::standin_start(argc, argv, WIFISIM_QUIET_FAILURE);
    return 0;
}
