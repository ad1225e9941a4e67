#pragma once
// The outside programs the daemon runs. One that is not installed makes a start-up step or a
// command fail later with a generic line, and the service restart the daemon for ever; so
// start-up names each missing one first, with what needs it, and then goes on as always.

// PATH when the environment has none: the list a shell searches then.
constexpr char default_search_path[] =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// True when `tool` names no executable file: a path (holding a '/') as it is, a name in none of
// the directories of `search_path` (colon-separated; an empty entry is the current directory).
bool tool_missing(const char* tool, const char* search_path);

// Prints one line per missing tool of the daemon's own list, on standard error:
//   "Missing tool: iw not found in PATH, needed by NAN bring-up, ..."
//   "Missing tool: /bin/usb.sh not found, needed by AT+AB updatefw"
// Returns how many are missing.
int report_missing_tools();
