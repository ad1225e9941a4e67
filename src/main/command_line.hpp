#pragma once
#include "spi_device.hpp"

constexpr const char* nanvideod_version = "V1.1.0";
// -h and -V end the process with this status after printing.
constexpr int info_exit_status = 1;

enum class command_line_result { start, exit_info };

// Reads the options into config in command-line order. -h and -V print their text and stop the
// parse at once. Unknown options are reported by the parser and skipped.
command_line_result parse_command_line(int argc, char* argv[], spi_settings& config);
