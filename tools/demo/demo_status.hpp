#pragma once
// The daemon's own account at the end of the demo, beside the checking client's: asked on a
// connection of its own (a reply on the checking connection would break its byte check) once
// the source has stopped and the checking client has drained the ring.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "demo_checker.hpp"
#include "status_view.hpp"

// "AT+AB status" on a new connection to port inside the board of board_pid. Nothing (and a
// reason in problem) when no reply came.
std::optional<status_reading> ask_daemon_status(pid_t board_pid, uint16_t port,
                                                std::string& problem);

// The lines that set the two accounts side by side; agree is false when a figure differs.
// checking_connection: which of the daemon's connections the checking client is.
std::string compare_accounts(const status_reading& daemon, const checker_figures& checker,
                             uint64_t transfers_answered, uint32_t checking_connection,
                             bool& agree);
