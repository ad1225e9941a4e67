#pragma once
// The common start of every stand-in program.
#include <string>

namespace wifisim {

// Finds the state directory through $NANVIDEO_BOARD (message and exit 1 when it is unset),
// appends argv to the call log and, when a failure rule matches, prints failure_message on
// standard error and exits with the rule's status (or dies by its signal).
// Returns the state directory.
std::string standin_start(int argc, char* argv[], const char* failure_message);

}  // namespace wifisim
